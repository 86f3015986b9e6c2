#include "platform/linux/UnixSignalWatcher.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>

namespace {
volatile sig_atomic_t g_previousHandlerCalls = 0;

extern "C" void countCall(int) { g_previousHandlerCalls = g_previousHandlerCalls + 1; }
} // namespace

class TestSignalWatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void deliversThroughTheEventLoopAndRestoresTheHandler()
    {
        struct sigaction counting = {};
        counting.sa_handler = countCall;
        struct sigaction original = {};
        QCOMPARE(::sigaction(SIGTERM, &counting, &original), 0);
        {
            UnixSignalWatcher watcher;
            QVERIFY(watcher.watch(SIGTERM));
            QVERIFY(watcher.watch(SIGINT));
            // One watcher per process: a second one cannot take the signals over.
            QVERIFY(!UnixSignalWatcher().watch(SIGTERM));
            QSignalSpy received(&watcher, &UnixSignalWatcher::received);
            ::raise(SIGINT);
            ::raise(SIGTERM);
            // Nothing is emitted from inside the handler.
            QCOMPARE(received.count(), 0);
            QTRY_COMPARE(received.count(), 2);
            QCOMPARE(received.at(0).at(0).toInt(), SIGINT);
            QCOMPARE(received.at(1).at(0).toInt(), SIGTERM);
            QCOMPARE(int(g_previousHandlerCalls), 0);
        }
        ::raise(SIGTERM);
        QCOMPARE(int(g_previousHandlerCalls), 1);
        ::sigaction(SIGTERM, &original, nullptr);
    }

    void receiverMayDestroyTheWatcher()
    {
        auto watcher = std::make_unique<UnixSignalWatcher>();
        QVERIFY(watcher->watch(SIGTERM));
        int calls = 0;
        connect(watcher.get(), &UnixSignalWatcher::received, this, [&] {
            ++calls;
            watcher.reset();
        });
        // Both wait in one read; the second must not reach a watcher that is gone.
        ::raise(SIGTERM);
        ::raise(SIGTERM);
        QTRY_VERIFY(!watcher);
        QCOMPARE(calls, 1);
    }
};

QTEST_GUILESS_MAIN(TestSignalWatcher)
#include "test_signalwatcher.moc"
