// Runs inside keychain_session.sh on a private session bus where no Secret Service runs and none
// can be started.

#include "LogCapture.h"
#include "TempXdgDirs.h"

#include "platform/Platform.h"
#include "platform/linux/SecretFileBackend.h"
#include "platform/linux/SecretServiceBackend.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kSecretServiceName = u"org.freedesktop.secrets"_s;

// Owns the Secret Service's name and never answers, like a daemon stuck behind a prompt.
class SilentService : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};
} // namespace

class TestKeychainNoSecretService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(),
                 "run this test through keychain_session.sh bare");
    }

    void factoryFallsBackToFile()
    {
        TempXdgDirs dirs;
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        const auto backend = Platform::createSecretBackend();
        QVERIFY(timer.elapsed() < 3000);
        const auto *fileBackend = dynamic_cast<SecretFileBackend *>(backend.get());
        QVERIFY(fileBackend);
        QCOMPARE(fileBackend->filePath(), dirs.dataHome() + u"/vesper/secrets.json"_s);
        QCOMPARE(log.lines().size(), 1);
    }

    // Each call gives up after its time limit; none may wait much longer.
    void unansweringServiceDoesNotHang()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        SilentService service;
        QVERIFY(bus.registerVirtualObject(u"/"_s, &service, QDBusConnection::SubPath));
        QVERIFY(bus.registerService(kSecretServiceName));
        const auto backend = Platform::createSecretBackend();
        QVERIFY(dynamic_cast<SecretServiceBackend *>(backend.get()));

        QElapsedTimer timer;
        const auto quick = [&timer] {
            return timer.elapsed() < SecretServiceBackend::defaultTimeout.count() + 1000;
        };
        timer.start();
        QVERIFY(!backend->read(u"test.account"_s).has_value() && quick());
        timer.restart();
        QVERIFY(!backend->write(u"test.account"_s, u"value"_s) && quick());
        timer.restart();
        QVERIFY(!backend->remove(u"test.account"_s) && quick());
        bus.unregisterService(kSecretServiceName);
        bus.unregisterObject(u"/"_s, QDBusConnection::UnregisterTree);
    }
};

QTEST_GUILESS_MAIN(TestKeychainNoSecretService)
#include "test_secretstore_no_secret_service.moc"
