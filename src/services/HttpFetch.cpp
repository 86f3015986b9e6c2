#include "services/HttpFetch.h"

#include "Version.h"
#include "core/Endpoints.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcoronetworkreply.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {
constexpr int kMaxRedirects = 5;
constexpr qint64 kReadBufferSize = 64 * 1024;

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

// Whether the whole answer arrived. An HTTP error status still counts: what it says is the
// caller's to judge.
bool isComplete(const QNetworkReply &reply)
{
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError)
        return true;
    const bool answered = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const bool statusError = (error >= QNetworkReply::ContentAccessDenied
                              && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError
            && error <= QNetworkReply::UnknownServerError);
    return answered && statusError;
}
} // namespace

namespace Http {

QCoro::Task<std::optional<Reply>> get(QNetworkAccessManager &network, QNetworkRequest request,
                                      qint64 maxBytes, std::chrono::milliseconds timeout)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setTransferTimeout(int(timeout.count()));

    std::unique_ptr<QNetworkReply, DeleteLater> owner(network.get(request));
    QPointer<QNetworkReply> reply = owner.get();
    // Read as it arrives, so that Qt's buffer stays small and a body over the cap is stopped at
    // the cap rather than held in full.
    auto body = std::make_shared<QByteArray>();
    const auto take = [reply, body, maxBytes] {
        body->append(reply->read(maxBytes + 1 - body->size()));
        if (body->size() > maxBytes)
            reply->abort();
    };
    reply->setReadBufferSize(kReadBufferSize);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, take);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBytes] {
        bool known = false;
        const qint64 length
            = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && length > maxBytes)
            reply->abort();
    });
    // The transfer timeout only catches a stall; this bounds a slow trickle too.
    QTimer::singleShot(timeout, reply, [reply] { reply->abort(); });

    co_await reply.get();
    if (reply && reply->isOpen())
        take();
    if (!reply || !isComplete(*reply) || body->size() > maxBytes)
        co_return std::nullopt;
    co_return Reply { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), *body };
}

QByteArray userAgent()
{
    // Worked out once: a bad VESPER_UPDATE_URL is then reported once, not on every request.
    static const QByteArray agent = [] {
        const QUrl site = Endpoints::updateSite();
        QByteArray text("Vesper/" VESPER_VERSION " (");
        text.append(site.isEmpty() ? QByteArray(fallbackHomePage)
                                   : site.toEncoded(QUrl::RemoveUserInfo));
        text.append(')');
        return text;
    }();
    return agent;
}

} // namespace Http
