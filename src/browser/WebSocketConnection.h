#pragma once

#include "browser/WebSocketFrames.h"

#include <QObject>

class QTcpSocket;

// One upgraded connection, server side. Whole messages come out as signals; pings are answered,
// several that arrive together with one pong for the latest (§5.5.3 allows it). A client that
// stops reading is not allowed to pile up Vesper's answers: past a cap on the bytes waiting to be
// written, the connection is cut.
class WebSocketConnection : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        qint64 maxMessageBytes;
        qint64 maxQueuedBytes;
        // A close is given this long to be answered before the connection is cut.
        int closeGraceMs;
    };

    // Takes the socket over; `received` holds what came after the handshake.
    WebSocketConnection(QTcpSocket *socket, const QByteArray &received, Limits limits,
                        QObject *parent = nullptr);

    void sendText(const QByteArray &utf8);
    // Sends a close frame; the TCP connection ends when the client answers, or after the grace.
    void close(quint16 code, const QString &reason);

    // How the connection ended: the client's close code (1000 when it left without one), or the
    // one Vesper closed with.
    quint16 closeCode() const { return m_closeCode; }
    QString closeReason() const { return m_closeReason; }

Q_SIGNALS:
    void textMessageReceived(const QByteArray &utf8);
    void binaryMessageReceived(qint64 size);
    // Once, when the TCP connection is gone.
    void disconnected();

private:
    void readAvailable();
    void write(const QByteArray &frame);
    // Answers or sends a close (once) and ends the TCP connection.
    void closeAfter(quint16 code, const QString &reason, const QByteArray &closeFrame);
    void onSocketDisconnected();

    QTcpSocket *m_socket;
    WebSocketFrames::Reader m_reader;
    Limits m_limits;
    bool m_closeSent = false;
    bool m_ended = false;
    quint16 m_closeCode = WebSocketFrames::Normal;
    QString m_closeReason;
};
