#include "core/HttpFetch.h"

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

QCoro::Task<Outcome> send(QNetworkAccessManager &network, QNetworkRequest request, QByteArray verb,
                          QByteArray body, qint64 maxBytes, std::chrono::milliseconds timeout)
{
    request.setTransferTimeout(int(timeout.count()));
    // Bodies as sent, never inflated: the cap then holds for what is read, and Qt's own inflating
    // cuts an answer past its safety limit short yet reports it complete. The answers are small.
    request.setRawHeader("Accept-Encoding", "identity");

    std::unique_ptr<QNetworkReply, DeleteLater> owner(
        verb == "GET" ? network.get(request) : network.sendCustomRequest(request, verb, body));
    QPointer<QNetworkReply> reply = owner.get();
    // Read as it arrives, so that Qt's buffer stays small and a body over the cap is stopped at
    // the cap rather than held in full.
    auto received = std::make_shared<QByteArray>();
    auto tooLarge = std::make_shared<bool>(false);
    const auto take = [reply, received, tooLarge, maxBytes] {
        received->append(reply->read(maxBytes + 1 - received->size()));
        if (received->size() > maxBytes) {
            *tooLarge = true;
            reply->abort();
        }
    };
    reply->setReadBufferSize(kReadBufferSize);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, take);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, tooLarge, maxBytes] {
        bool known = false;
        const qint64 length
            = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && length > maxBytes) {
            *tooLarge = true;
            reply->abort();
        }
    });
    // The transfer timeout only catches a stall; this bounds a slow trickle too.
    QTimer::singleShot(timeout, reply, [reply] { reply->abort(); });

    co_await reply.get();
    Outcome outcome;
    if (!reply)
        co_return outcome;
    if (reply->isOpen() && !*tooLarge)
        take();
    if (*tooLarge) {
        outcome.result = Outcome::Result::TooLarge;
        co_return outcome;
    }
    if (!isComplete(*reply)) {
        outcome.result = Outcome::Result::Failed;
        outcome.error = reply->error();
        outcome.errorString = reply->errorString();
        co_return outcome;
    }
    outcome.result = Outcome::Result::Answered;
    outcome.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    outcome.body = *received;
    outcome.retryAfter = reply->rawHeader("Retry-After");
    co_return outcome;
}

QCoro::Task<std::optional<Reply>> get(QNetworkAccessManager &network, QNetworkRequest request,
                                      qint64 maxBytes, std::chrono::milliseconds timeout)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    QCoro::Task<Outcome> sending = send(network, std::move(request), QByteArrayLiteral("GET"),
                                        QByteArray(), maxBytes, timeout);
    const Outcome outcome = co_await sending;
    if (outcome.result != Outcome::Result::Answered)
        co_return std::nullopt;
    co_return Reply { outcome.status, outcome.body };
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
