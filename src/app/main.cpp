#include "Version.h"
#include "app/Application.h"
#include "core/Log.h"
#include "platform/linux/SingleInstance.h"
#include "platform/linux/UnixSignalWatcher.h"

#include <QApplication>
#include <QUrl>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {
// Arguments are URLs handed over by the desktop (Exec=vesper %u); anything else is ignored.
QList<QUrl> urlsFromArguments(const QStringList &arguments)
{
    QList<QUrl> urls;
    for (const QString &argument : arguments.mid(1)) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty())
            urls.append(url);
    }
    return urls;
}
} // namespace

int main(int argc, char *argv[])
{
    installLogFormat();
    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName(u"vesper"_s);
    QApplication::setApplicationDisplayName(u"Vesper"_s);
    QApplication::setApplicationVersion(QStringLiteral(VESPER_VERSION));
    QApplication::setDesktopFileName(u"vesper"_s);
    // Vesper lives in its tray and panel; closing a window never ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    const QList<QUrl> urls = urlsFromArguments(QApplication::arguments());
    SingleInstance instance(SingleInstance::defaultSocketPath());
    if (!instance.claimOrForward(urls)) {
        // Another Vesper runs: it took our URLs, or it did not answer in time.
        if (instance.errorString().isEmpty())
            return 0;
        plainLog(u"Vesper: the running instance did not answer: "_s + instance.errorString());
        return 1;
    }
    if (!instance.errorString().isEmpty())
        plainLog(u"Vesper: cannot listen for later launches: "_s + instance.errorString());

    Application vesper;
    QObject::connect(&instance, &SingleInstance::urlsReceived, &vesper, &Application::openURLs);

    // Logout, Ctrl+C, a closed terminal and Ctrl+\ end Vesper the way Quit does, so the
    // instance socket goes with it.
    UnixSignalWatcher signalWatcher;
    for (const int signalNumber : { SIGTERM, SIGINT, SIGHUP, SIGQUIT })
        signalWatcher.watch(signalNumber);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &vesper, &Application::quit);

    vesper.launch();
    vesper.openURLs(urls);
    return QApplication::exec();
}
