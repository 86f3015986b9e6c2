#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// Requests that cannot eat memory or hang: the body is capped and the whole transfer is bounded
// in time. Shared by the services that read small JSON answers.
namespace Http {

struct Reply
{
    int status = 0; // the HTTP status of the final answer after redirects
    QByteArray body;
};

struct Outcome
{
    enum class Result {
        Answered, // a status and the whole body arrived, whatever the status says
        TooLarge, // the body passed the cap; the transfer was stopped there
        Failed, // the transfer broke, was refused or ran out of time
        Abandoned, // the reply was deleted before it finished
    };

    Result result = Result::Abandoned;
    int status = 0;
    QByteArray body;
    QByteArray retryAfter; // the raw Retry-After header of the answer, empty when absent
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    // Qt's own description of the failure. It names the URL: a caller whose URL carries a
    // secret describes the error from its code instead.
    QString errorString;
};

// Sends the request with the given verb and, unless the verb is GET, the body. The request's
// redirect policy is the caller's; the transfer timeout is set here.
QCoro::Task<Outcome> send(QNetworkAccessManager &network, QNetworkRequest request, QByteArray verb,
                          QByteArray body, qint64 maxBytes, std::chrono::milliseconds timeout);

// A GET that follows redirects no less safe than the request. The answer, whatever its status;
// none on a transport error, when the time runs out or when the body passes maxBytes.
QCoro::Task<std::optional<Reply>> get(QNetworkAccessManager &network, QNetworkRequest request,
                                      qint64 maxBytes, std::chrono::milliseconds timeout);

// "Vesper/<version> (<home page>)", as online services ask their clients to name themselves.
QByteArray userAgent();

// Named in the User-Agent when the build names no product site.
inline constexpr char fallbackHomePage[] = "https://vesper.invalid/";

} // namespace Http
