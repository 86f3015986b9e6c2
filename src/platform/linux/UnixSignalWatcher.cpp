#include "UnixSignalWatcher.h"

#include "core/Log.h"

#include <QByteArray>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The write end of the watcher's socket pair, the only state the handler touches.
volatile sig_atomic_t g_writeFd = -1;

extern "C" void forwardSignal(int signalNumber)
{
    // Only async-signal-safe calls here. The write end never blocks: when the pair is full,
    // the event loop has signals enough to handle.
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &number, 1);
    errno = savedErrno;
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject *parent) : QObject(parent)
{
    if (g_writeFd != -1) {
        qCWarning(lcApp) << "Only one UnixSignalWatcher can exist at a time";
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        qCWarning(lcApp) << "Cannot watch Unix signals:" << std::strerror(errno);
        return;
    }
    g_writeFd = m_fds[1];
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::readSignals);
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    if (!m_notifier)
        return;
    for (const auto &[signalNumber, previous] : std::as_const(m_previousActions))
        ::sigaction(signalNumber, &previous, nullptr);
    g_writeFd = -1;
    m_notifier->setEnabled(false);
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

bool UnixSignalWatcher::watch(int signalNumber)
{
    if (!m_notifier)
        return false;
    for (const auto &watched : std::as_const(m_previousActions)) {
        if (watched.first == signalNumber)
            return true;
    }
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction previous = {};
    if (::sigaction(signalNumber, &action, &previous) != 0) {
        qCWarning(lcApp) << "Cannot watch signal" << signalNumber << std::strerror(errno);
        return false;
    }
    m_previousActions.append({ signalNumber, previous });
    return true;
}

void UnixSignalWatcher::readSignals()
{
    QByteArray numbers;
    char chunk[64];
    ssize_t count;
    while ((count = ::read(m_fds[0], chunk, sizeof chunk)) > 0)
        numbers.append(chunk, count);
    // A receiver may destroy the watcher; quitting does.
    const QPointer<UnixSignalWatcher> self(this);
    for (const char number : std::as_const(numbers)) {
        Q_EMIT received(static_cast<unsigned char>(number));
        if (!self)
            return;
    }
}
