#pragma once

#include <QByteArray>
#include <QNetworkRequest>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// A GET that cannot eat memory or hang: the body is capped and the whole transfer is bounded
// in time. Shared by the services that read small JSON answers.
namespace Http {

struct Reply
{
    int status = 0; // the HTTP status of the final answer after redirects
    QByteArray body;
};

// The answer, whatever its status; none on a transport error, when the time runs out or when
// the body passes maxBytes (the transfer is stopped there).
QCoro::Task<std::optional<Reply>> get(QNetworkAccessManager &network, QNetworkRequest request,
                                      qint64 maxBytes, std::chrono::milliseconds timeout);

// "Vesper/<version> (<home page>)", as online services ask their clients to name themselves.
QByteArray userAgent();

// Named in the User-Agent when the build names no product site.
inline constexpr char fallbackHomePage[] = "https://vesper.invalid/";

} // namespace Http
