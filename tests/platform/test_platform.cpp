#include "TempXdgDirs.h"
#include "platform/linux/DesktopEntry.h"
#include "platform/linux/DesktopEntryWorkspace.h"
#include "platform/linux/SingleInstance.h"
#include "platform/linux/UnixSignalWatcher.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// With kLaunchSocket set, this executable is a later launch handing its arguments over.
namespace {
constexpr char kLaunchSocket[] = "VESPER_TEST_LAUNCH_SOCKET";
// Set to "announce", a launch prints a line before claiming; "nobody" runs it as that user.
constexpr char kLaunchMode[] = "VESPER_TEST_LAUNCH_MODE";
enum LaunchExit { Forwarded = 0, NotDelivered = 1, BecamePrimary = 2 };

int runLaunch(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QByteArray mode = qgetenv(kLaunchMode);
    if (mode == "nobody" && (::setgid(65534) != 0 || ::setuid(65534) != 0))
        return 9;
    QList<QUrl> urls;
    for (const QString &argument : QCoreApplication::arguments().mid(1))
        urls.append(QUrl::fromEncoded(argument.toUtf8()));
    SingleInstance instance(qEnvironmentVariable(kLaunchSocket));
    if (mode == "nobody") {
        // Straight to the socket, as a launch that does not check whose instance it is.
        QLocalSocket direct;
        direct.connectToServer(qEnvironmentVariable(kLaunchSocket));
        if (direct.waitForConnected(1000) && direct.write(SingleInstance::encodeMessage(urls))
            && direct.waitForReadyRead(3000) && direct.readAll().startsWith("ok"))
            return Forwarded;
    }
    if (mode == "announce") {
        std::puts("claiming");
        std::fflush(stdout);
    }
    if (!instance.claimOrForward(urls))
        return instance.errorString().isEmpty() ? Forwarded : NotDelivered;
    return BecamePrimary;
}

QProcess *startLaunch(const QString &socketPath, const QList<QUrl> &urls, const QString &mode,
                      QObject *parent)
{
    auto *process = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kLaunchSocket), socketPath);
    environment.insert(QString::fromLatin1(kLaunchMode), mode);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments;
    for (const QUrl &url : urls)
        arguments.append(QString::fromUtf8(url.toEncoded()));
    process->start(QCoreApplication::applicationFilePath(), arguments);
    return process;
}

// Waits while the event loop runs, so that the running instance can answer.
bool finishes(QProcess *process, int timeoutMs = 10000)
{
    QSignalSpy finished(process, &QProcess::finished);
    return (process->state() == QProcess::NotRunning || finished.wait(timeoutMs))
        && process->exitStatus() == QProcess::NormalExit;
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
bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

volatile sig_atomic_t g_previousHandlerCalls = 0;

extern "C" void countCall(int) { g_previousHandlerCalls = g_previousHandlerCalls + 1; }
} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_socketPath;

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_socketPath = m_dir->filePath(u"vesper.socket"_s);
    }

    void messagesAndPaths()
    {
        const QList<QUrl> urls { QUrl(), QUrl(u"relative/path"_s),
                                 QUrl(u"vesper://callback?code=a b"_s) };
        const QByteArray message = SingleInstance::encodeMessage(urls);
        QCOMPARE(message, "vesper://callback?code=a%20b\n\n");
        QCOMPARE(SingleInstance::decodeMessage(message), QList<QUrl> { urls.at(2) });
        for (const QByteArray &malformed :
             { QByteArray("vesper://a\n"), QByteArray("vesper://a\n\nvesper://b\n\n"),
               QByteArray("\x00\x01\x02\n\n", 5), QByteArray("ht:/s:##//x.\n\n") })
            QVERIFY2(!SingleInstance::decodeMessage(malformed),
                     malformed.toPercentEncoding().constData());
    }

    void laterLaunchHandsOverItsUrls()
    {
        // A crashed instance left its socket behind.
        QVERIFY(makeStaleSocket(m_socketPath));
        SingleInstance primary(m_socketPath);
        QVERIFY(primary.claimOrForward({}) && primary.isListening());
        QSignalSpy received(&primary, &SingleInstance::urlsReceived);

        // A client that floods is dropped without an answer.
        QLocalSocket flooding;
        flooding.connectToServer(m_socketPath);
        QVERIFY(flooding.waitForConnected(1000));
        flooding.write(QByteArray(70 * 1024, 'a'));
        QTRY_COMPARE(flooding.state(), QLocalSocket::UnconnectedState);
        QVERIFY(!flooding.readAll().contains("ok"));

        // Idle clients, more than are kept at once, cannot keep a real launch out.
        std::vector<std::unique_ptr<QLocalSocket>> idle(20);
        for (auto &client : idle) {
            client = std::make_unique<QLocalSocket>();
            client->connectToServer(m_socketPath);
            QVERIFY(client->waitForConnected(1000));
        }

        const QList<QUrl> urls { QUrl(u"vesper://callback?code=AQBx-7_q&state=4f2"_s),
                                 QUrl(u"vesper://callback?code=zoë"_s) };
        QProcess *launch = startLaunch(m_socketPath, urls, {}, this);
        QVERIFY(finishes(launch));
        QCOMPARE(launch->exitCode(), int(Forwarded));
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.at(0).at(0).value<QList<QUrl>>(), urls);
    }

    void anotherUsersProcessIsNotTalkedTo()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run a launch as another user");
        QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7777));
        SingleInstance primary(m_socketPath);
        QVERIFY(primary.claimOrForward({}));
        QFile::setPermissions(m_socketPath, QFileDevice::Permissions(0x7777));
        QSignalSpy received(&primary, &SingleInstance::urlsReceived);
        // Neither side takes the other's word: no URL goes either way.
        QProcess *launch
            = startLaunch(m_socketPath, { QUrl(u"vesper://callback?code=1"_s) }, u"nobody"_s, this);
        QVERIFY(finishes(launch));
        QCOMPARE(launch->exitCode(), int(BecamePrimary));
        QCOMPARE(received.count(), 0);
    }

    void silentInstanceIsNotWaitedForForever()
    {
        // Something listens (the kernel accepts the connection) but never answers.
        QLocalServer mute;
        QVERIFY(mute.listen(m_socketPath));
        QProcess *launch
            = startLaunch(m_socketPath, { QUrl(u"vesper://callback?code=1"_s) }, {}, this);
        QVERIFY(finishes(launch));
        QCOMPARE(launch->exitCode(), int(NotDelivered));
        QVERIFY(mute.isListening());
    }

    // Another launch deciding holds the lock: this one waits instead of clearing the socket
    // the other is about to replace.
    void aLaunchWaitsWhileAnotherDecides()
    {
        QLockFile deciding(m_socketPath + u".lock"_s);
        QVERIFY(deciding.tryLock(0) && makeStaleSocket(m_socketPath));
        QProcess *launch = startLaunch(m_socketPath, { QUrl(u"vesper://callback?code=1"_s) },
                                       u"announce"_s, this);
        QVERIFY(launch->waitForReadyRead(5000) && !finishes(launch, 500));

        // The other launch becomes the running instance, then lets go.
        QLocalServer::removeServer(m_socketPath);
        QLocalServer running;
        QVERIFY(running.listen(m_socketPath));
        connect(&running, &QLocalServer::newConnection, this, [&running] {
            QLocalSocket *client = running.nextPendingConnection();
            connect(client, &QLocalSocket::readyRead, client, [client] {
                if (client->readAll().endsWith("\n\n"))
                    client->write("ok\n");
            });
        });
        deciding.unlock();
        QVERIFY(finishes(launch));
        QCOMPARE(launch->exitCode(), int(Forwarded));
    }
    void readsAndQuotesAsDesktopFilesDo()
    {
        // The last value of a key in the first [Desktop Entry] group counts.
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=/usr/bin/vesper\n";
        const QList<QPair<QByteArray, bool>> entries {
            { head, true },
            { head + "X-GNOME-Autostart-enabled=false\n", false },
            { head + "Hidden=true\nHidden=false\n", true },
            { head + "[Desktop Action quit]\nHidden=true\n", true },
        };
        for (const auto &[text, enabled] : entries)
            QVERIFY2(XdgAutostartLoginItem::entryEnablesAutostart(text) == enabled, text.data());

        // As written in the file: the string escapes apply on top of the quoting of arguments.
        const QList<QPair<QString, QString>> paths {
            { u"/usr/bin/vesper"_s, u"/usr/bin/vesper"_s },
            { u"/home/a$b/vesper"_s, u"\"/home/a\\\\$b/vesper\""_s },
            { u"/x\\y/vesper"_s, u"\"/x\\\\\\\\y/vesper\""_s },
            { u"/x/100%/vesper"_s, u"/x/100%%/vesper"_s },
        };
        for (const auto &[path, exec] : paths) {
            QCOMPARE(XdgAutostartLoginItem::execArgument(path), exec);
            // What is written reads back, a field code left out.
            const auto entry
                = DesktopEntry::parse("[Desktop Entry]\nExec=" + exec.toUtf8() + " --flag %U\n");
            QCOMPARE(DesktopEntry::execArguments(entry->exec), QStringList({ path, u"--flag"_s }));
        }
        QVERIFY(!DesktopEntry::execArguments(u"\"unclosed"_s));
        QVERIFY(!DesktopEntry::execArguments(u"%f %U"_s));
        QVERIFY(!DesktopEntry::parse("[Desktop Entry]\nExec=x\nHidden=true\n"));
        QCOMPARE(DesktopEntry::objectPath(u"org.example.my-app"_s), u"/org/example/my_app"_s);
    }

    // A click on a desktop player's cover starts it through its desktop entry.
    void startsAPlayerThroughItsEntry()
    {
        TempXdgDirs dirs;
        const QString marker = m_dir->filePath(u"started"_s);
        QVERIFY(writeFile(dirs.dataHome() + u"/applications/spotify.desktop"_s,
                          "[Desktop Entry]\nType=Application\nExec=touch \"" + marker.toUtf8()
                              + "\" %U\n"));
        DesktopEntryWorkspace workspace;
        QVERIFY(!workspace.openPlayer(u"com.vesper.unknown"_s));
        QVERIFY(workspace.openPlayer(u"com.spotify.client"_s));
        QTRY_VERIFY(QFile::exists(marker));
    }

    void enablesAndDisables()
    {
        TempXdgDirs dirs;
        const QString path = dirs.configHome() + u"/autostart/vesper.desktop"_s;
        // An entry another hand disabled reads as off; enabling writes it anew.
        QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nExec=/old\nHidden=true\n"));
        XdgAutostartLoginItem item(u"/opt/Vesper Build/vesper"_s);
        QVERIFY(!item.isEnabled());
        QString error;
        QVERIFY(item.setEnabled(true, error) && item.isEnabled());
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly)
                && written.readAll().contains("\nExec=\"/opt/Vesper Build/vesper\"\n"));
        QVERIFY(item.setEnabled(false, error) && !QFile::exists(path));
        QVERIFY(item.setEnabled(false, error) && error.isEmpty());

        // A folder where the entry should be: neither written nor removed.
        QVERIFY(writeFile(path + u"/keep"_s, "x") && !item.setEnabled(true, error));
        QVERIFY2(error.contains(path), qPrintable(error));
        QVERIFY(!item.setEnabled(false, error));
    }
    void deliversThroughTheEventLoopAndRestoresTheHandler()
    {
        struct sigaction counting = {};
        counting.sa_handler = countCall;
        struct sigaction original = {};
        QCOMPARE(::sigaction(SIGTERM, &counting, &original), 0);
        {
            UnixSignalWatcher watcher;
            QVERIFY(watcher.watch(SIGTERM) && watcher.watch(SIGINT));
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

        // The receiver may destroy the watcher.
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

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(kLaunchSocket))
        return runLaunch(argc, argv);
    QCoreApplication application(argc, argv);
    TestPlatform test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_platform.moc"
