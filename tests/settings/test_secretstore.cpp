#include "LogCapture.h"
#include "TempXdgDirs.h"

#include "core/SettingsStore.h"
#include "platform/Platform.h"
#include "platform/linux/SecretFileBackend.h"
#include "settings/SecretStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

using Secret = std::optional<QString>;

namespace QTest {
template<> char *toString(const Secret &secret)
{
    return secret ? QTest::toString(*secret) : qstrdup("none");
}
} // namespace QTest

namespace {
const QString kAccount = SecretStore::Account::lastfmSessionKey;

int modeOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

// A store that answers reads but refuses to keep anything, as a locked keyring does.
class RefusingBackend : public SecretBackend
{
public:
    std::optional<QString> read(const QString &) override { return std::nullopt; }
    bool write(const QString &, const QString &) override { return false; }
    bool remove(const QString &) override { return false; }
};

class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask) : m_previous(::umask(mask)) { }
    ~UmaskGuard() { ::umask(m_previous); }

private:
    mode_t m_previous;
};
} // namespace

class TestKeychain : public QObject
{
    Q_OBJECT

private:
    QString secretsPath() const { return m_dirs->dataHome() + u"/vesper/secrets.json"_s; }
    QString defaultsPath() const { return m_dirs->configHome() + u"/vesper/defaults.json"_s; }

    std::unique_ptr<TempXdgDirs> m_dirs;

private Q_SLOTS:
    void initTestCase()
    {
        // A bus that cannot exist: the factory must fall back without one.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vesper-test-bus");
    }

    void init()
    {
        m_dirs = std::make_unique<TempXdgDirs>();
        SecretStore::setBackend(std::make_unique<SecretFileBackend>());
    }

    void cleanup()
    {
        SecretStore::setBackend(nullptr);
        m_dirs.reset();
    }

    void readWriteRemove()
    {
        QCOMPARE(SecretStore::read(kAccount), Secret());

        QVERIFY(SecretStore::write(kAccount, u"first"_s));
        QVERIFY(SecretStore::write(kAccount, u"second ✓"_s));
        QCOMPARE(SecretStore::read(kAccount), Secret(u"second ✓"_s));
        // An empty secret is kept as one, not read as absent.
        QVERIFY(SecretStore::write(SecretStore::Account::spotifyAccessToken, QString()));
        QCOMPARE(SecretStore::read(SecretStore::Account::spotifyAccessToken), Secret(u""_s));

        // One entry per account, and a fresh backend reads what an earlier one wrote.
        QFile file(secretsPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object().keys(),
                 QStringList({ kAccount, SecretStore::Account::spotifyAccessToken }));
        QCOMPARE(SecretFileBackend().read(kAccount), Secret(u"second ✓"_s));

        QVERIFY(SecretStore::remove(kAccount));
        QCOMPARE(SecretStore::read(kAccount), Secret());
        QVERIFY(SecretStore::remove(kAccount));
        QCOMPARE(SecretStore::read(SecretStore::Account::spotifyAccessToken), Secret(QString()));
    }

    void migrate()
    {
        SettingsStore defaults(defaultsPath());
        const auto migrate = [&defaults](const QString &account) {
            return SecretStore::migrate(u"legacy."_s + account, account, defaults);
        };
        // An item in the store wins, and the stale legacy value goes.
        QVERIFY(SecretStore::write(u"a"_s, u"kept"_s));
        defaults.setValue(u"legacy.a"_s, u"stale"_s);
        QCOMPARE(migrate(u"a"_s), Secret(u"kept"_s));
        QCOMPARE(SecretStore::read(u"a"_s), Secret(u"kept"_s));
        QVERIFY(!defaults.contains(u"legacy.a"_s));
        // A legacy value moves into the store.
        defaults.setValue(u"legacy.b"_s, u"old"_s);
        QCOMPARE(migrate(u"b"_s), Secret(u"old"_s));
        QCOMPARE(SecretStore::read(u"b"_s), Secret(u"old"_s));
        QVERIFY(!defaults.contains(u"legacy.b"_s));
        // An empty legacy value is no secret and stays where it is; nothing anywhere is nothing.
        defaults.setValue(u"legacy.c"_s, u""_s);
        QCOMPARE(migrate(u"c"_s), Secret());
        QCOMPARE(defaults.stringValue(u"legacy.c"_s), Secret(u""_s));
        QCOMPARE(migrate(u"d"_s), Secret());
        QCOMPARE(SecretStore::read(u"c"_s), Secret());
        QCOMPARE(SecretStore::read(u"d"_s), Secret());

        // A store that refuses the write never costs the only copy; the next start moves it.
        defaults.setValue(u"legacy.e"_s, u"only copy"_s);
        SecretStore::setBackend(std::make_unique<RefusingBackend>());
        QCOMPARE(migrate(u"e"_s), Secret(u"only copy"_s));
        QCOMPARE(SettingsStore(defaultsPath()).stringValue(u"legacy.e"_s), Secret(u"only copy"_s));
        SecretStore::setBackend(std::make_unique<SecretFileBackend>());
        QCOMPARE(migrate(u"e"_s), Secret(u"only copy"_s));
        QVERIFY(!defaults.contains(u"legacy.e"_s));
        QCOMPARE(SecretStore::read(u"e"_s), Secret(u"only copy"_s));
    }

    // Runs with a permissive umask so that only the code under test can make files private.
    void fileIsPrivate()
    {
        const UmaskGuard umask(0);
        const QString folder = QFileInfo(secretsPath()).path();
        QVERIFY(SecretStore::write(kAccount, u"secret"_s));
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder), 0700);

        // Wider bits left by someone else are tightened when the file is opened.
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(secretsPath()).constData(), 0644) == 0);
        SecretFileBackend backend;
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder), 0700);
        QCOMPARE(backend.read(kAccount), Secret(u"secret"_s));
        QVERIFY(backend.write(kAccount, u"again"_s));
        QCOMPARE(modeOf(secretsPath()), 0600);
    }

    void damagedFileIsSetAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"lastfm.sessionKey\": \"ab");
        QTest::newRow("not an object") << QByteArray("[\"lastfm.sessionKey\"]");
    }

    void damagedFileIsSetAside()
    {
        QFETCH(QByteArray, content);
        const QDir folder = QFileInfo(secretsPath()).dir();
        QVERIFY(QDir().mkpath(folder.path()));
        QFile file(secretsPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();

        LogCapture log;
        QCOMPARE(SecretStore::read(kAccount), Secret());
        const QStringList aside = folder.entryList({ u"secrets.json.damaged-*"_s }, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().startsWith(u"Vesper: secrets file "_s + secretsPath()));
        QVERIFY(log.lines().first().contains(aside.first()));

        QVERIFY(SecretStore::write(kAccount, u"fresh"_s));
        QCOMPARE(SecretStore::read(kAccount), Secret(u"fresh"_s));
        QFile kept(folder.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
    }

    void factoryFallsBackWithoutSessionBus()
    {
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        const auto backend = Platform::createSecretBackend();
        QVERIFY(timer.elapsed() < 3000);
        const auto *fileBackend = dynamic_cast<SecretFileBackend *>(backend.get());
        QVERIFY(fileBackend);
        QCOMPARE(fileBackend->filePath(), secretsPath());
        const QString notice
            = u"Vesper: no Secret Service on the session bus; secrets are kept in "_s
            + secretsPath() + u", readable only by you"_s;
        QCOMPARE(log.lines(), QStringList { notice });

        // Said once per run, however often a backend is made.
        QVERIFY(Platform::createSecretBackend());
        QCOMPARE(log.lines(), QStringList { notice });
    }
};

QTEST_GUILESS_MAIN(TestKeychain)
#include "test_secretstore.moc"
