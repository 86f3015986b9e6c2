#include "SingleInstance.h"

#include "core/Log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// A launch carries a handful of URLs; anything longer is not a launch.
constexpr qsizetype kMaxMessageBytes = 64 * 1024;
// Connections a running instance keeps open at once; a newcomer beyond them pushes out the
// oldest, so that idle clients cannot keep a real launch, which speaks at once, out.
constexpr int kMaxClients = 16;
// A client that has not finished its message by then is dropped.
constexpr int kClientTimeoutMs = 3000;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kAnswerTimeoutMs = 5000;
// How long a launch waits for another that is deciding which of them runs.
constexpr int kClaimLockTimeoutMs = 3000;
constexpr int kClaimAttempts = 3;
constexpr QByteArrayView kAcknowledgement = "ok\n";
constexpr char kMessageProperty[] = "vesperMessage";

void dropClient(QLocalSocket *client)
{
    client->abort();
    client->deleteLater();
}

bool isForwardable(const QUrl &url) { return url.isValid() && !url.isRelative(); }

// The socket lives in a folder of the user's own, but the fallback in the temporary folder is
// shared: never hand a sign-in code to, or take URLs from, another user's process.
bool peerIsThisUser(qintptr descriptor)
{
    struct ucred credentials = {};
    socklen_t length = sizeof credentials;
    return ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0
        && credentials.uid == ::geteuid();
}
} // namespace

SingleInstance::SingleInstance(const QString &socketPath, QObject *parent)
    : QObject(parent), m_socketPath(socketPath), m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptClients);
}

QString SingleInstance::defaultSocketPath()
{
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty())
        return runtimeDir + u"/vesper.socket"_s;
    return QDir::tempPath() + u"/vesper-"_s + QString::number(::geteuid()) + u".socket"_s;
}

bool SingleInstance::isListening() const { return m_server->isListening(); }

bool SingleInstance::claimOrForward(const QList<QUrl> &urls)
{
    m_errorString.clear();
    // Two launches at once (a browser opening two callbacks) must not both take the socket:
    // whoever holds the lock decides first. Without the lock, a failed listen still catches it.
    QLockFile claimLock(m_socketPath + u".lock"_s);
    if (!claimLock.tryLock(kClaimLockTimeoutMs))
        qCDebug(lcApp) << "Deciding the running instance without the lock:" << claimLock.error();

    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        switch (forward(urls)) {
        case ForwardResult::Delivered:
        case ForwardResult::NotDelivered:
            return false;
        case ForwardResult::Unreachable:
            qCWarning(lcApp).noquote() << "Not listening for other launches:" << m_errorString;
            return true;
        case ForwardResult::NoInstance:
            break;
        }
        if (listen())
            return true;
        if (m_server->serverError() != QAbstractSocket::AddressInUseError)
            break;
        // Another launch started listening in between; hand the URLs to it.
    }
    m_errorString = m_server->errorString();
    qCWarning(lcApp).noquote() << "Not listening for other launches:" << m_errorString;
    return true;
}

SingleInstance::ForwardResult SingleInstance::forward(const QList<QUrl> &urls)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        // A socket file nobody listens on was left by an instance that crashed.
        if (socket.error() == QLocalSocket::ConnectionRefusedError)
            QLocalServer::removeServer(m_socketPath);
        return ForwardResult::NoInstance;
    }
    if (!peerIsThisUser(socket.socketDescriptor())) {
        m_errorString = u"%1 belongs to another user"_s.arg(QDir::toNativeSeparators(m_socketPath));
        return ForwardResult::Unreachable;
    }

    const QByteArray message = encodeMessage(urls);
    if (message.size() > kMaxMessageBytes) {
        m_errorString = u"the URLs are too long to hand to the running Vesper"_s;
        return ForwardResult::NotDelivered;
    }
    socket.write(message);
    const QDeadlineTimer deadline(kAnswerTimeoutMs);
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kAcknowledgement.size()) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(int(deadline.remainingTime()));
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        answer += socket.read(kAcknowledgement.size() - answer.size());
    }
    if (answer == kAcknowledgement)
        return ForwardResult::Delivered;
    m_errorString = u"the running Vesper did not answer"_s;
    return ForwardResult::NotDelivered;
}

bool SingleInstance::listen()
{
    // Without socket options Qt binds in place, so an existing socket makes listen() fail
    // rather than being replaced; the folder keeps other users out.
    return m_server->listen(m_socketPath);
}

void SingleInstance::acceptClients()
{
    while (QLocalSocket *client = m_server->nextPendingConnection()) {
        if (!peerIsThisUser(client->socketDescriptor())) {
            dropClient(client);
            continue;
        }
        m_clients.removeIf([](const QPointer<QLocalSocket> &open) { return !open; });
        if (m_clients.size() >= kMaxClients)
            dropClient(m_clients.takeFirst());
        m_clients.append(client);
        client->setReadBufferSize(kMaxMessageBytes + 1);
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] { readClient(client); });
        QTimer::singleShot(kClientTimeoutMs, client, [client] { dropClient(client); });
    }
}

void SingleInstance::readClient(QLocalSocket *client)
{
    QByteArray message = client->property(kMessageProperty).toByteArray();
    message += client->read(kMaxMessageBytes + 1 - message.size());
    if (message.size() > kMaxMessageBytes) {
        qCWarning(lcApp) << "Dropped an oversized message from another launch";
        dropClient(client);
        return;
    }
    // Complete once it ends with the empty line.
    qsizetype length = -1;
    if (message.startsWith('\n'))
        length = 1;
    else if (const qsizetype blankLine = message.indexOf("\n\n"); blankLine >= 0)
        length = blankLine + 2;
    if (length < 0) {
        client->setProperty(kMessageProperty, message);
        return;
    }
    // A launch sends one message and waits; anything after it is not from a launch.
    const std::optional<QList<QUrl>> urls
        = length == message.size() ? decodeMessage(message) : std::nullopt;
    if (!urls) {
        qCWarning(lcApp) << "Ignored a malformed message from another launch";
        dropClient(client);
        return;
    }
    client->setProperty(kMessageProperty, QVariant());
    client->write(kAcknowledgement.toByteArray());
    client->flush();
    client->disconnectFromServer();
    Q_EMIT urlsReceived(*urls);
}

QByteArray SingleInstance::encodeMessage(const QList<QUrl> &urls)
{
    QByteArray message;
    for (const QUrl &url : urls) {
        if (isForwardable(url))
            message += url.toEncoded() + '\n';
    }
    return message + '\n';
}

std::optional<QList<QUrl>> SingleInstance::decodeMessage(QByteArrayView message)
{
    if (!message.endsWith('\n'))
        return std::nullopt;
    QByteArrayView lines = message.chopped(1);
    QList<QUrl> urls;
    while (!lines.isEmpty()) {
        const qsizetype end = lines.indexOf('\n');
        if (end <= 0)
            return std::nullopt;
        const QByteArrayView line = lines.first(end);
        lines = lines.sliced(end + 1);
        // Encoded URLs are printable ASCII through and through.
        for (const char c : line) {
            if (c <= ' ' || c > '~')
                return std::nullopt;
        }
        const QUrl url = QUrl::fromEncoded(line.toByteArray(), QUrl::StrictMode);
        // Only the form a launch writes: a line Qt would write otherwise ("a:#x#y") could be
        // handed on as another URL than the one sent.
        if (!isForwardable(url) || url.toEncoded() != line)
            return std::nullopt;
        urls.append(url);
    }
    return urls;
}
