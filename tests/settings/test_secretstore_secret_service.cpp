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

struct ToolResult
{
    int exitCode = -1;
    QByteArray output;
};

// secret-tool sees the keyring as any other client does, independent of Vesper's code.
ToolResult secretTool(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(u"secret-tool"_s, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return {};
    return { process.exitCode(), process.readAll() };
}

QStringList vesperAttributes(const QString &account)
{
    return { u"service"_s, u"northloft.VesperApp"_s, u"account"_s, account };
}

ToolResult lookUp(const QString &account)
{
    return secretTool(QStringList { u"lookup"_s } + vesperAttributes(account));
}

int itemCount(const QString &account)
{
    const QByteArray output
        = secretTool(QStringList { u"search"_s, u"--all"_s } + vesperAttributes(account)).output;
    int count = 0;
    for (const QByteArray &line : output.split('\n'))
        count += line.startsWith("[/") ? 1 : 0;
    return count;
}
} // namespace

class TestSecretStoreSecretService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        const QDBusMessage reply = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                           u"org.freedesktop.DBus"_s, u"NameHasOwner"_s)
            << u"org.freedesktop.secrets"_s);
        QVERIFY2(reply.arguments().value(0).toBool(),
                 "run this test through secret_session.sh keyring");
    }

    void readWriteRemove()
    {
        // The platform's choice on a bus with a keyring, and silent about it.
        LogCapture log;
        SecretStore store(Platform::createSecretBackend());
        QVERIFY(log.lines().isEmpty());
        const QString account = SecretStore::Account::spotifyRefreshToken;
        QVERIFY(store.write(account, u"first"_s));
        QVERIFY(store.write(account, u"second ✓ 🎵"_s));
        QCOMPARE(store.read(account), Secret(u"second ✓ 🎵"_s));
        // Read back by another client, so it went to the keyring and not to a file.
        QCOMPARE(lookUp(account).output, u"second ✓ 🎵"_s.toUtf8());
        QCOMPARE(itemCount(account), 1);
        QVERIFY(store.write(account, QString()));
        QCOMPARE(store.read(account), Secret(u""_s));
        QVERIFY(store.remove(account));
        QCOMPARE(lookUp(account).exitCode, 1);
        QVERIFY(store.remove(account));
    }

    void itemsStoredByOtherClients()
    {
        SecretServiceBackend backend;
        const QStringList store = { u"store"_s, u"--label=stored by hand"_s };
        // Found by its attributes alone, and replaced by a write rather than left beside it.
        QCOMPARE(secretTool(store + vesperAttributes(u"test.byHand"_s), "typed in").exitCode, 0);
        QCOMPARE(backend.read(u"test.byHand"_s), Secret(u"typed in"_s));
        QVERIFY(backend.write(u"test.byHand"_s, u"written"_s));
        QCOMPARE(itemCount(u"test.byHand"_s), 1);
        QCOMPARE(secretTool(store + vesperAttributes(u"test.binary"_s), "\xff\xfe\x80").exitCode,
                 0);
        QCOMPARE(backend.read(u"test.binary"_s), Secret());
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
        bus.unregisterService(u"org.gnome.keyring.SystemPrompter"_s);
        bus.unregisterObject(u"/"_s, QDBusConnection::UnregisterTree);
    }
};

QTEST_GUILESS_MAIN(TestSecretStoreSecretService)
#include "test_secretstore_secret_service.moc"
