#include "LogCapture.h"
#include "TempXdgDirs.h"

#include "core/UserDefaults.h"
#include "platform/Platform.h"
#include "platform/linux/SecretFileBackend.h"
#include "services/KeychainStore.h"

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
const QString kAccount = KeychainStore::Account::lastfmSessionKey;
const QString kLegacyKey = u"lastfmSessionKey"_s;

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

// Runs with a permissive umask so that only the code under test can make files private.
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
        KeychainStore::setBackend(std::make_unique<SecretFileBackend>());
    }

    void cleanup()
    {
        KeychainStore::setBackend(nullptr);
        m_dirs.reset();
    }

    void readWriteRemove()
    {
        QCOMPARE(KeychainStore::read(kAccount), Secret());

        QVERIFY(KeychainStore::write(kAccount, u"first"_s));
        QVERIFY(KeychainStore::write(kAccount, u"second ✓"_s));
        QCOMPARE(KeychainStore::read(kAccount), Secret(u"second ✓"_s));
        QVERIFY(KeychainStore::write(KeychainStore::Account::spotifyAccessToken, QString()));
        const auto empty = KeychainStore::read(KeychainStore::Account::spotifyAccessToken);
        QVERIFY(empty.has_value());
        QVERIFY(empty->isEmpty());

        // One entry per account, and a fresh backend reads what an earlier one wrote.
        QFile file(secretsPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object().keys(),
                 QStringList({ kAccount, KeychainStore::Account::spotifyAccessToken }));
        QCOMPARE(SecretFileBackend().read(kAccount), Secret(u"second ✓"_s));

        QVERIFY(KeychainStore::remove(kAccount));
        QCOMPARE(KeychainStore::read(kAccount), Secret());
        QVERIFY(KeychainStore::remove(kAccount));
        QCOMPARE(KeychainStore::read(KeychainStore::Account::spotifyAccessToken),
                 Secret(QString()));
    }

    void migrate_data()
    {
        QTest::addColumn<QString>("stored"); // null: no item
        QTest::addColumn<QVariant>("legacy"); // invalid: no key
        QTest::addColumn<QString>("expected"); // null: none
        QTest::addColumn<bool>("legacyKept");

        QTest::newRow("item and stale legacy value")
            << u"kept"_s << QVariant(u"stale"_s) << u"kept"_s << false;
        QTest::newRow("legacy value moved") << QString() << QVariant(u"old"_s) << u"old"_s << false;
        QTest::newRow("empty legacy value left")
            << QString() << QVariant(u""_s) << QString() << true;
        QTest::newRow("nothing anywhere") << QString() << QVariant() << QString() << false;
    }

    void migrate()
    {
        QFETCH(QString, stored);
        QFETCH(QVariant, legacy);
        QFETCH(QString, expected);
        QFETCH(bool, legacyKept);

        UserDefaults defaults(m_dirs->configHome() + u"/vesper/defaults.json"_s);
        if (!stored.isNull())
            QVERIFY(KeychainStore::write(kAccount, stored));
        if (legacy.isValid())
            QVERIFY(defaults.setValue(kLegacyKey, legacy));

        const auto result = KeychainStore::migrate(kLegacyKey, kAccount, defaults);
        QCOMPARE(result, expected.isNull() ? Secret() : Secret(expected));
        QCOMPARE(KeychainStore::read(kAccount), result);
        QCOMPARE(defaults.contains(kLegacyKey), legacyKept);
        if (legacyKept)
            QCOMPARE(defaults.object(kLegacyKey), legacy);
    }

    void migrateKeepsLegacyValueWhenStoreRefuses()
    {
        const QString defaultsPath = m_dirs->configHome() + u"/vesper/defaults.json"_s;
        {
            UserDefaults defaults(defaultsPath);
            defaults.setValue(kLegacyKey, u"only copy"_s);
            KeychainStore::setBackend(std::make_unique<RefusingBackend>());
            QCOMPARE(KeychainStore::migrate(kLegacyKey, kAccount, defaults),
                     Secret(u"only copy"_s));
            QCOMPARE(defaults.stringValue(kLegacyKey), Secret(u"only copy"_s));
        }

        // The next start, with a store that works, moves it.
        KeychainStore::setBackend(std::make_unique<SecretFileBackend>());
        UserDefaults defaults(defaultsPath);
        QCOMPARE(defaults.stringValue(kLegacyKey), Secret(u"only copy"_s));
        QCOMPARE(KeychainStore::migrate(kLegacyKey, kAccount, defaults), Secret(u"only copy"_s));
        QVERIFY(!defaults.contains(kLegacyKey));
        QCOMPARE(KeychainStore::read(kAccount), Secret(u"only copy"_s));
    }

    void fileIsPrivate()
    {
        const UmaskGuard umask(0);
        QVERIFY(KeychainStore::write(kAccount, u"secret"_s));
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(QFileInfo(secretsPath()).path()), 0700);
        QVERIFY(KeychainStore::write(kAccount, u"again"_s));
        QCOMPARE(modeOf(secretsPath()), 0600);
    }

    void widerFileIsTightened()
    {
        const UmaskGuard umask(0);
        const QString folder = QFileInfo(secretsPath()).path();
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QFile file(secretsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"lastfm.sessionKey\": \"from before\"}");
        file.close();
        QVERIFY(::chmod(QFile::encodeName(secretsPath()).constData(), 0644) == 0);

        SecretFileBackend backend;
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder), 0700);
        QCOMPARE(backend.read(kAccount), Secret(u"from before"_s));
        QVERIFY(backend.write(kAccount, u"new"_s));
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
        QVERIFY(QDir().mkpath(QFileInfo(secretsPath()).path()));
        QFile file(secretsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();

        LogCapture log;
        QCOMPARE(KeychainStore::read(kAccount), Secret());
        const QStringList aside = QDir(QFileInfo(secretsPath()).path())
                                      .entryList({ u"secrets.json.damaged-*"_s }, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().startsWith(u"Vesper: secrets file "_s + secretsPath()));
        QVERIFY(log.lines().first().contains(aside.first()));

        QVERIFY(KeychainStore::write(kAccount, u"fresh"_s));
        QCOMPARE(KeychainStore::read(kAccount), Secret(u"fresh"_s));
        QFile kept(QFileInfo(secretsPath()).path() + u'/' + aside.first());
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
#include "test_keychain.moc"
