// Runs inside secret_session.sh bare, on a private session bus where no Secret Service runs and
// none can be started.

#include "LogCapture.h"
#include "MemorySecretBackend.h"
#include "TempXdgDirs.h"

#include "core/SettingsStore.h"
#include "platform/Platform.h"
#include "platform/linux/SecretFileBackend.h"
#include "platform/linux/SecretServiceBackend.h"
#include "settings/SecretStore.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
int modeOf(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777)
                                                                     : -1;
}

// Owns the Secret Service's name and never answers, like a daemon stuck behind a prompt.
class SilentService : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};
} // namespace

class TestSecretStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<TempXdgDirs> m_dirs;
    QString folder() const { return m_dirs->dataHome() + u"/vesper"_s; }
    QString secretsPath() const { return folder() + u"/secrets.json"_s; }

private Q_SLOTS:
    void init() { m_dirs = std::make_unique<TempXdgDirs>(); }

    void withoutSecretServiceTheFileIsUsed()
    {
        LogCapture log;
        const auto backend = Platform::createSecretBackend();
        const auto *file = dynamic_cast<SecretFileBackend *>(backend.get());
        QVERIFY(file && file->filePath() == secretsPath());
        QCOMPARE(
            log.lines(),
            QStringList { u"Vesper: no Secret Service on the session bus; secrets are kept in "_s
                          + secretsPath() + u", readable only by you"_s });
    }

    // Each call gives up after its time limit; none may wait much longer.
    void unansweringServiceDoesNotHang()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        SilentService service;
        QVERIFY(bus.registerVirtualObject(u"/"_s, &service, QDBusConnection::SubPath));
        QVERIFY(bus.registerService(u"org.freedesktop.secrets"_s));
        const auto backend = Platform::createSecretBackend();
        QVERIFY(dynamic_cast<SecretServiceBackend *>(backend.get()));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!backend->read(u"a"_s) && !backend->write(u"a"_s, u"v"_s)
                && !backend->remove(u"a"_s));
        QVERIFY(timer.elapsed() < 3 * SecretServiceBackend::defaultTimeout.count() + 1000);
        bus.unregisterService(u"org.freedesktop.secrets"_s);
        bus.unregisterObject(u"/"_s, QDBusConnection::UnregisterTree);
    }

    // Runs with a permissive umask so that only the code under test can make files private.
    void fileKeepsSecretsPrivate()
    {
        const mode_t previous = ::umask(0);
        SecretFileBackend backend(secretsPath());
        QVERIFY(!backend.read(u"a"_s));
        QVERIFY(backend.write(u"a"_s, u"first"_s) && backend.write(u"a"_s, u"second ✓"_s));
        QVERIFY(backend.write(u"b"_s, QString())); // kept as empty, not absent
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder()), 0700);

        // Wider bits left by someone else are tightened when the file is opened.
        QVERIFY(::chmod(QFile::encodeName(folder()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(secretsPath()).constData(), 0644) == 0);
        SecretFileBackend again(secretsPath());
        ::umask(previous);
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder()), 0700);
        QVERIFY(again.read(u"a"_s) == u"second ✓"_s && again.read(u"b"_s) == u""_s);
        QVERIFY(again.remove(u"a"_s) && again.remove(u"a"_s));
        QVERIFY(!again.read(u"a"_s));
    }

    void damagedFileIsSetAside()
    {
        const QByteArray content = "{\"lastfm.sessionKey\": \"ab";
        QVERIFY(QDir().mkpath(folder()));
        QFile file(secretsPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        LogCapture log;
        SecretFileBackend backend(secretsPath());
        QVERIFY(!backend.read(u"lastfm.sessionKey"_s));
        QVERIFY(backend.write(u"lastfm.sessionKey"_s, u"fresh"_s));
        const QStringList aside = QDir(folder()).entryList({ u"secrets.json.damaged-*"_s });
        QCOMPARE(aside.size(), 1);
        QVERIFY(log.lines().value(0).startsWith(u"Vesper: secrets file "_s + secretsPath()));
        QFile kept(QDir(folder()).filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
    }

    void legacySecretsMoveWithoutLoss()
    {
        SecretItems items;
        SecretStore store(std::make_unique<MemorySecretBackend>(items));
        SettingsStore defaults(m_dirs->configHome() + u"/defaults.json"_s);
        const auto migrate = [&](const QString &account) {
            return store.migrate(u"legacy."_s + account, account, defaults);
        };
        // An item in the store wins, and the stale legacy value goes.
        items.items.insert(u"a"_s, u"kept"_s);
        defaults.setValue(u"legacy.a"_s, u"stale"_s);
        QVERIFY(migrate(u"a"_s) == u"kept"_s);
        QVERIFY(!defaults.contains(u"legacy.a"_s));
        // A store that refuses the write never costs the only copy; the next start moves it.
        defaults.setValue(u"legacy.e"_s, u"only copy"_s);
        items.refuseWrites = true;
        QVERIFY(migrate(u"e"_s) == u"only copy"_s);
        QVERIFY(SettingsStore(defaults.filePath()).stringValue(u"legacy.e"_s) == u"only copy"_s);
        items.refuseWrites = false;
        QVERIFY(migrate(u"e"_s) == u"only copy"_s);
        QVERIFY(!defaults.contains(u"legacy.e"_s));
        QCOMPARE(items.items.value(u"e"_s), u"only copy"_s);
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "test_secretstore.moc"
