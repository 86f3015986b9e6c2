// Runs inside secret_session.sh, against a real gnome-keyring-daemon with an unlocked login
// keyring on a private session bus.

#include "LogCapture.h"

#include "platform/Platform.h"
#include "platform/linux/SecretServiceBackend.h"
#include "settings/SecretStore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

using Secret = std::optional<QString>;

namespace QTest {
template<> char *toString(const Secret &secret)
{
    return secret ? QTest::toString(*secret) : qstrdup("none");
}
} // namespace QTest

namespace {
// Takes prompts and never shows them, as a prompter waiting for a user who is away.
class SilentPrompter : public QDBusVirtualObject
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

int itemCount(const QString &account)
{
    return int(secretTool({ u"search"_s, u"--all"_s }, account).second.count("[/"));
}
} // namespace

class TestSecretStoreSecretService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readWriteRemove()
    {
        // The platform's choice on a bus with a keyring, and silent about it; without the keyring
        // (not run through secret_session.sh keyring) the notice of the file fails this.
        LogCapture log;
        SecretStore store(Platform::createSecretBackend());
        QVERIFY(log.lines().isEmpty());
        const QString account = SecretStore::Account::spotifyRefreshToken;
        QVERIFY(store.write(account, u"first"_s) && store.write(account, u"second ✓ 🎵"_s));
        QCOMPARE(store.read(account), Secret(u"second ✓ 🎵"_s));
        // Read back by another client, so it went to the keyring and not to a file.
        QCOMPARE(secretTool({ u"lookup"_s }, account).second, u"second ✓ 🎵"_s.toUtf8());
        QVERIFY(store.write(account, QString()));
        QCOMPARE(store.read(account), Secret(u""_s));
        QVERIFY(store.remove(account) && store.remove(account));
        QCOMPARE(secretTool({ u"lookup"_s }, account).first, 1);

        // An item another client stored is found by its attributes alone, and replaced by a
        // write rather than left beside it.
        QCOMPARE(secretTool({ u"store"_s, u"--label=by hand"_s }, u"hand"_s, "typed").first, 0);
        QCOMPARE(store.read(u"hand"_s), Secret(u"typed"_s));
        QVERIFY(store.write(u"hand"_s, u"written"_s));
        QCOMPARE(itemCount(u"hand"_s), 1);
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
        const QDBusMessage reply = QDBusConnection::sessionBus().call(lock);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

        // Any prompt for the keyring's password would now hang until the time limit.
        SilentPrompter prompter;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerVirtualObject(u"/"_s, &prompter, QDBusConnection::SubPath));
        QVERIFY(bus.registerService(u"org.gnome.keyring.SystemPrompter"_s));

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(backend.read(account), Secret());
        QVERIFY(!backend.write(account, u"replaced"_s));
        QVERIFY(!backend.remove(account));
        QVERIFY2(timer.elapsed() < SecretServiceBackend::defaultTimeout.count(),
                 "a call on a locked keyring waited for a prompt");
        QCOMPARE(itemCount(account), 1);
    }
};

QTEST_GUILESS_MAIN(TestSecretStoreSecretService)
#include "test_secretstore_secret_service.moc"
