#include "TempXdgDirs.h"
#include "platform/linux/SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The test executable runs itself as a later launch: with kLaunchSocket set it claims that
// socket with its arguments as URLs and exits with the outcome.
namespace {
constexpr char kLaunchSocket[] = "VESPER_TEST_LAUNCH_SOCKET";
// With this set too, a launch that becomes the running instance waits for one later launch
// and prints the URLs it hands over.
constexpr char kLaunchWaits[] = "VESPER_TEST_LAUNCH_WAITS";
enum LaunchExit { Forwarded = 0, NotDelivered = 1, BecamePrimary = 2, PrimaryReceived = 3 };

int runLaunch(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QList<QUrl> urls;
    for (const QString &argument : QCoreApplication::arguments().mid(1))
        urls.append(QUrl::fromEncoded(argument.toUtf8()));

    SingleInstance instance(qEnvironmentVariable(kLaunchSocket));
    if (!instance.claimOrForward(urls))
        return instance.errorString().isEmpty() ? Forwarded : NotDelivered;
    if (!qEnvironmentVariableIsSet(kLaunchWaits))
        return BecamePrimary;
    QSignalSpy received(&instance, &SingleInstance::urlsReceived);
    if (!received.wait(10000))
        return BecamePrimary;
    const QList<QUrl> forwarded = received.at(0).at(0).value<QList<QUrl>>();
    for (const QUrl &url : forwarded)
        std::printf("%s\n", url.toEncoded().constData());
    return PrimaryReceived;
}

QProcess *startLaunch(const QString &socketPath, const QList<QUrl> &urls, bool waits,
                      QObject *parent)
{
    auto *process = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kLaunchSocket), socketPath);
    if (waits)
        environment.insert(QString::fromLatin1(kLaunchWaits), u"1"_s);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments;
    for (const QUrl &url : urls)
        arguments.append(QString::fromUtf8(url.toEncoded()));
    process->start(QCoreApplication::applicationFilePath(), arguments);
    return process;
}

// A socket file as a crashed instance leaves it: bound once, nobody listening.
bool makeStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}
} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_socketPath;

    // Waits for a launch while the event loop runs, so the running instance can answer it.
    static bool finishes(QProcess *process, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (process->state() != QProcess::NotRunning && clock.elapsed() < timeoutMs)
            QTest::qWait(10);
        return process->state() == QProcess::NotRunning
            && process->exitStatus() == QProcess::NormalExit;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_socketPath = m_dir->filePath(u"vesper.socket"_s);
    }

    void messages()
    {
        const QList<QUrl> urls
            = { QUrl(), QUrl(u"relative/path"_s), QUrl(u"vesper://callback?code=a b"_s) };
        const QByteArray message = SingleInstance::encodeMessage(urls);
        QCOMPARE(message, "vesper://callback?code=a%20b\n\n");
        QCOMPARE(SingleInstance::decodeMessage(message), QList<QUrl> { urls.at(2) });
        QCOMPARE(SingleInstance::decodeMessage(SingleInstance::encodeMessage({})), QList<QUrl>());

        for (const QByteArray &malformed :
             { QByteArray("vesper://a\n"), QByteArray("vesper://a\n\nvesper://b\n\n"),
               QByteArray("callback?code=1\n\n"), QByteArray("vesper://callback?code=\xc3\xa9\n\n"),
               QByteArray("\x00\x01\x02\n\n", 5) })
            QVERIFY2(!SingleInstance::decodeMessage(malformed),
                     malformed.toPercentEncoding().constData());
    }

    void socketPathFollowsRuntimeDir()
    {
        TempXdgDirs dirs;
        QCOMPARE(SingleInstance::defaultSocketPath(), dirs.runtimeDir() + u"/vesper.socket"_s);
        qunsetenv("XDG_RUNTIME_DIR");
        const QString fallback = SingleInstance::defaultSocketPath();
        QCOMPARE(QFileInfo(fallback).absolutePath(), QDir::tempPath());
        QVERIFY2(fallback.contains(QString::number(::geteuid())), qPrintable(fallback));
    }

    void laterLaunchHandsOverItsUrls_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<bool>("afterCrash"); // a crashed instance left its socket behind
        QTest::newRow("several, in order, after a crash")
            << QList<QUrl> { QUrl(u"vesper://callback?code=AQBx-7_q&state=4f2"_s),
                             QUrl(u"https://example.com/a?b=1#c"_s),
                             QUrl(u"vesper://callback?code=two%20words"_s),
                             QUrl(u"vesper://callback?code=zoë"_s) }
            << true;
        QTest::newRow("none") << QList<QUrl>() << false;
    }

    void laterLaunchHandsOverItsUrls()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(bool, afterCrash);
        if (afterCrash)
            QVERIFY(makeStaleSocket(m_socketPath));
        SingleInstance primary(m_socketPath);
        QVERIFY(primary.claimOrForward({}));
        QVERIFY(primary.isListening());
        QVERIFY(primary.errorString().isEmpty());
        QSignalSpy received(&primary, &SingleInstance::urlsReceived);

        QElapsedTimer clock;
        clock.start();
        QProcess *launch = startLaunch(m_socketPath, urls, false, this);
        QVERIFY(finishes(launch));
        QCOMPARE(launch->exitCode(), int(Forwarded));
        QVERIFY2(clock.elapsed() < 3000, "a later launch must exit at once");
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.at(0).at(0).value<QList<QUrl>>(), urls);
    }

    void survivesBadClients()
    {
        SingleInstance primary(m_socketPath);
        QVERIFY(primary.claimOrForward({}));
        QSignalSpy received(&primary, &SingleInstance::urlsReceived);

        const QList<QByteArray> messages = {
            QByteArray("\x00\x01\xff garbage\n\n", 13), QByteArray(70 * 1024, 'a'),
            QByteArray("vesper://callback?code=1\n\ntrailing"),
            QByteArray(), // says nothing at all
        };
        QList<QLocalSocket *> clients;
        for (const QByteArray &message : messages) {
            auto *client = new QLocalSocket(this);
            client->connectToServer(m_socketPath);
            QVERIFY(client->waitForConnected(1000));
            client->write(message);
            clients.append(client);
        }
        // Every one is dropped without an answer; the silent one after a few seconds.
        for (QLocalSocket *client : std::as_const(clients))
            QTRY_COMPARE_WITH_TIMEOUT(client->state(), QLocalSocket::UnconnectedState, 8000);
        for (QLocalSocket *client : std::as_const(clients))
            QVERIFY(!client->readAll().contains("ok"));
        QCOMPARE(received.count(), 0);

        // The running instance still serves real launches.
        const QList<QUrl> urls = { QUrl(u"vesper://callback?code=still-here"_s) };
        QProcess *launch = startLaunch(m_socketPath, urls, false, this);
        QVERIFY(finishes(launch));
        QCOMPARE(launch->exitCode(), int(Forwarded));
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.at(0).at(0).value<QList<QUrl>>(), urls);
    }

    void silentInstanceIsNotWaitedForForever()
    {
        // Something listens (the kernel accepts the connection) but never answers.
        QLocalServer mute;
        QVERIFY(mute.listen(m_socketPath));

        SingleInstance launch(m_socketPath);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!launch.claimOrForward({ QUrl(u"vesper://callback?code=1"_s) }));
        QVERIFY(clock.elapsed() < 8000);
        QVERIFY(!launch.errorString().isEmpty());
        QVERIFY(!launch.isListening());
        QVERIFY(mute.isListening());
    }

    void simultaneousLaunchesElectOneInstance()
    {
        for (int round = 0; round < 6; ++round) {
            const QString socketPath = m_dir->filePath(u"race-%1.socket"_s.arg(round));
            // Half the time a crashed instance left its socket: both launches find it dead, and
            // neither may clear the socket the other has just opened.
            if (round % 2 == 1)
                QVERIFY(makeStaleSocket(socketPath));
            const QUrl first(u"vesper://callback?code=first"_s);
            const QUrl second(u"vesper://callback?code=second"_s);
            QProcess *a = startLaunch(socketPath, { first }, true, this);
            QProcess *b = startLaunch(socketPath, { second }, true, this);
            QVERIFY(finishes(a, 15000));
            QVERIFY(finishes(b, 15000));

            QProcess *running = a->exitCode() == PrimaryReceived ? a : b;
            QProcess *later = running == a ? b : a;
            QCOMPARE(running->exitCode(), int(PrimaryReceived));
            QCOMPARE(later->exitCode(), int(Forwarded));
            const QUrl handedOver = later == a ? first : second;
            QCOMPARE(running->readAllStandardOutput(), handedOver.toEncoded() + '\n');
        }
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(kLaunchSocket))
        return runLaunch(argc, argv);
    QCoreApplication application(argc, argv);
    TestSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_singleinstance.moc"
