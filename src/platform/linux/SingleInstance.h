#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <optional>

class QLocalServer;
class QLocalSocket;

// One running Vesper per user. The first process listens on a local socket; a later launch
// hands its URLs (the "vesper" callback of a sign-in, say) to it and exits.
//
// On the wire a launch sends each URL fully encoded on a line of its own, then an empty line;
// the running instance answers "ok" and a newline once it has taken them.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(const QString &socketPath, QObject *parent = nullptr);

    // $XDG_RUNTIME_DIR/vesper.socket, or a name of this user's in the temporary folder.
    static QString defaultSocketPath();

    // True when this process is now the running instance and listens for later launches
    // (also when it could not listen, so that Vesper still starts; errorString() says why).
    // False when this process should exit: the running instance took the URLs, or it did not
    // answer and errorString() says so. Blocks for a bounded time; call it before the event loop.
    bool claimOrForward(const QList<QUrl> &urls);
    bool isListening() const;
    QString errorString() const { return m_errorString; }

    // Only absolute, valid URLs travel; others are left out of the message.
    static QByteArray encodeMessage(const QList<QUrl> &urls);
    // The URLs of a complete message, or nothing when any line is not an absolute URL written
    // as encodeMessage writes it.
    static std::optional<QList<QUrl>> decodeMessage(QByteArrayView message);

Q_SIGNALS:
    // In the running instance, for each later launch; empty when it was started without URLs.
    void urlsReceived(const QList<QUrl> &urls);

private:
    enum class ForwardResult {
        Delivered,
        NotDelivered, // an instance runs but did not take the URLs
        Unreachable, // the socket is in use, but not by one of this user's launches
        NoInstance,
    };

    ForwardResult forward(const QList<QUrl> &urls);
    bool listen();
    void acceptClients();
    void readClient(QLocalSocket *client);

    QString m_socketPath;
    QString m_errorString;
    QLocalServer *m_server = nullptr;
    // Oldest first.
    QList<QPointer<QLocalSocket>> m_clients;
};
