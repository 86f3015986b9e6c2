// Runs inside private_bus.sh, on a private session bus where no service can be started: first
// without any Secret Service, then against a gnome-keyring-daemon that the test starts itself.

#include "LogCapture.h"
#include "MemorySecretBackend.h"
#include "TempXdgDirs.h"

#include "core/SettingsStore.h"
#include "platform/Platform.h"
#include "platform/linux/SecretFileBackend.h"
#include "platform/linux/SecretServiceBackend.h"
#include "settings/SecretStore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using Secret = std::optional<QString>;

namespace {
int modeOf(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777)
                                                                     : -1;
}

// Takes every call and never answers, like a daemon or a prompter waiting for a user who is away.
class Silent : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};

// secret-tool sees the keyring as any other client does: its exit code and output.
std::pair<int, QByteArray> secretTool(QStringList arguments, const QString &account,
                                      const QByteArray &input = {})
{
    QProcess process;
    process.start(u"secret-tool"_s,
                  arguments << u"service"_s << u"northloft.VesperApp"_s << u"account"_s << account);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(10000);
    return { process.exitCode(), process.readAllStandardOutput() };
}
} // namespace

class TestSecretStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<TempXdgDirs> m_dirs;
    QProcess m_keyring;
    Silent m_silent;
    QString folder() const { return m_dirs->dataHome() + u"/vesper"_s; }
    QString secretsPath() const { return folder() + u"/secrets.json"_s; }

private Q_SLOTS:
    void init()
    {
        if (m_keyring.state() == QProcess::NotRunning) // the keyring keeps the folders it began in
            m_dirs = std::make_unique<TempXdgDirs>();
    }
    void cleanupTestCase()
    {
        m_keyring.kill();
        m_keyring.waitForFinished();
    }

    // Without a Secret Service: the file, said once; one that never answers gives up in time.
    void withoutSecretServiceTheFileIsUsed()
    {
        LogCapture log;
        const auto backend = Platform::createSecretBackend();
        const auto *file = dynamic_cast<SecretFileBackend *>(backend.get());
        QVERIFY(file && file->filePath() == secretsPath());
        QCOMPARE(log.lines().size(), 1); // the user is told where their secrets are

        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerVirtualObject(u"/"_s, &m_silent, QDBusConnection::SubPath));
        QVERIFY(bus.registerService(u"org.freedesktop.secrets"_s));
        const auto stuck = Platform::createSecretBackend();
        QVERIFY(dynamic_cast<SecretServiceBackend *>(stuck.get()));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!stuck->read(u"a"_s) && !stuck->write(u"a"_s, u"v"_s) && !stuck->remove(u"a"_s));
        QVERIFY(timer.elapsed() < 3 * SecretServiceBackend::defaultTimeout.count() + 1000);
        QVERIFY(bus.unregisterService(u"org.freedesktop.secrets"_s));
    }

    // Runs with a permissive umask so that only the code under test can make files private.
    void fileKeepsSecretsPrivate()
    {
        const mode_t previous = ::umask(0);
        SecretFileBackend backend(secretsPath());
        QVERIFY(backend.write(u"a"_s, u"second ✓"_s));
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder()), 0700);

        // Wider bits left by someone else are tightened when the file is opened.
        QVERIFY(::chmod(QFile::encodeName(folder()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(secretsPath()).constData(), 0644) == 0);
        SecretFileBackend again(secretsPath());
        ::umask(previous);
        QCOMPARE(modeOf(secretsPath()), 0600);
        QCOMPARE(modeOf(folder()), 0700);
        QCOMPARE(again.read(u"a"_s), Secret(u"second ✓"_s));

        // A damaged file is set aside, never overwritten.
        const QByteArray content = "{\"lastfm.sessionKey\": \"ab";
        QFile file(secretsPath());
        QVERIFY(QDir().mkpath(folder()) && file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        LogCapture log;
        SecretFileBackend damaged(secretsPath());
        QVERIFY(!damaged.read(u"lastfm.sessionKey"_s));
        QVERIFY(damaged.write(u"lastfm.sessionKey"_s, u"fresh"_s));
        const QStringList aside = QDir(folder()).entryList({ u"secrets.json.damaged-*"_s });
        QCOMPARE(aside.size(), 1);
        QVERIFY(log.lines().value(0).startsWith(u"Vesper: secrets file "_s + secretsPath()));
        QFile kept(QDir(folder()).filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == content);
    }

    // A link as the file or as its folder is never followed: its target keeps its bits and
    // contents, whatever it is.
    void linksAreNeverFollowed()
    {
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath(u"bashrc"_s);
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("export A=1\n") == 11);
        file.close();
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0644) == 0);
        QVERIFY(QDir().mkpath(folder()) && QFile::link(target, secretsPath()));
        SecretFileBackend backend(secretsPath());
        QVERIFY(backend.write(u"a"_s, u"v"_s));
        QCOMPARE(modeOf(target), 0644);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == "export A=1\n");
        QVERIFY(!QFileInfo(secretsPath()).isSymLink() && modeOf(secretsPath()) == 0600);
        const QStringList aside
            = QDir(folder()).entryList({ u"secrets.json.damaged-*"_s }, QDir::System | QDir::Files);
        QCOMPARE(aside.size(), 1);

        QVERIFY(QDir(folder()).removeRecursively());
        const QString shared = elsewhere.filePath(u"shared"_s);
        QVERIFY(QDir().mkpath(shared) && ::chmod(QFile::encodeName(shared).constData(), 0755) == 0);
        QVERIFY(QFile::link(shared, folder()));
        LogCapture log;
        SecretFileBackend linked(secretsPath());
        QVERIFY(!linked.write(u"a"_s, u"v"_s) && !linked.read(u"a"_s));
        QCOMPARE(modeOf(shared), 0755);
        QVERIFY(QDir(shared).isEmpty());
        QCOMPARE(
            log.lines().filter(u"is a symbolic link; secrets will not be read or saved"_s).size(),
            1);
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
        QVERIFY(migrate(u"a"_s) == u"kept"_s && !defaults.contains(u"legacy.a"_s));
        // A store that refuses the write never costs the only copy; the next start moves it.
        defaults.setValue(u"legacy.e"_s, u"only copy"_s);
        items.refuseWrites = true;
        QVERIFY(migrate(u"e"_s) == u"only copy"_s);
        QVERIFY(SettingsStore(defaults.filePath()).stringValue(u"legacy.e"_s) == u"only copy"_s);
        items.refuseWrites = false;
        QVERIFY(migrate(u"e"_s) == u"only copy"_s && !defaults.contains(u"legacy.e"_s));
        QCOMPARE(items.items.value(u"e"_s), u"only copy"_s);
    }

    // From here on a real keyring owns the Secret Service's name, its login keyring unlocked.
    void keyringItemsOfOtherClients()
    {
        m_keyring.setProcessChannelMode(QProcess::ForwardedChannels);
        m_keyring.start(u"gnome-keyring-daemon"_s,
                        { u"--foreground"_s, u"--unlock"_s, u"--components=secrets"_s });
        m_keyring.write("vesper");
        m_keyring.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     u"org.freedesktop.secrets"_s),
                                 10000);

        // The platform's choice on a bus with a keyring, and silent about it.
        LogCapture log;
        SecretStore store(Platform::createSecretBackend());
        QVERIFY(log.lines().isEmpty());

        // An item another client stored is found by its attributes alone, and replaced by a
        // write rather than left beside it.
        QCOMPARE(secretTool({ u"store"_s, u"--label=by hand"_s }, u"hand"_s, "typed").first, 0);
        QCOMPARE(store.read(u"hand"_s), Secret(u"typed"_s));
        QVERIFY(store.write(u"hand"_s, u"written"_s));
        QCOMPARE(secretTool({ u"lookup"_s }, u"hand"_s).second, QByteArray("written"));
        QCOMPARE(secretTool({ u"search"_s, u"--all"_s }, u"hand"_s).second.count("[/"), 1);
    }

    // Last: the keyring stays locked, since unlocking it again would need a prompt.
    void lockedKeyringCountsAsAbsent()
    {
        SecretServiceBackend backend;
        const QString account = u"test.locked"_s;
        QVERIFY(backend.write(account, u"kept"_s));
        QDBusMessage lock = QDBusMessage::createMethodCall(
            u"org.freedesktop.secrets"_s, u"/org/freedesktop/secrets"_s,
            u"org.freedesktop.Secret.Service"_s, u"Lock"_s);
        lock << QVariant::fromValue(QList<QDBusObjectPath> {
            QDBusObjectPath(u"/org/freedesktop/secrets/collection/login"_s) });
        QCOMPARE(QDBusConnection::sessionBus().call(lock).type(), QDBusMessage::ReplyMessage);

        // Any prompt for the keyring's password would now hang until the time limit.
        QVERIFY(
            QDBusConnection::sessionBus().registerService(u"org.gnome.keyring.SystemPrompter"_s));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(backend.read(account), Secret());
        QVERIFY(!backend.write(account, u"replaced"_s) && !backend.remove(account));
        QVERIFY2(timer.elapsed() < SecretServiceBackend::defaultTimeout.count(),
                 "a call on a locked keyring waited for a prompt");
        QCOMPARE(secretTool({ u"search"_s, u"--all"_s }, account).second.count("[/"), 1);
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "test_secretstore.moc"
