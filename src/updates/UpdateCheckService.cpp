#include "updates/UpdateCheckService.h"

#include "Version.h"
#include "core/Clock.h"
#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/AppSettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcUpdates, "northloft.VesperApp.Updates", QtInfoMsg)

// Longer than any version anyone publishes; a longer text is not a version.
constexpr qsizetype kMaxVersionLength = 64;

bool isDigits(QStringView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Compares two numbers written in decimal digits without leading zeros, of any length.
int compareNumbers(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}
} // namespace

const QString UpdateCheckService::failureLine
    = u"Vesper: update check failed (network or malformed manifest)"_s;

UpdateCheckService::UpdateCheckService(QNetworkAccessManager &network, SettingsStore &defaults,
                                       Clock &clock, QUrl site, QString currentVersion,
                                       std::function<bool()> autoCheckAllowed, QObject *parent)
    : QObject(parent), m_network(network), m_defaults(defaults), m_clock(clock),
      m_site(std::move(site)), m_currentVersion(std::move(currentVersion)),
      m_autoCheckAllowed(std::move(autoCheckAllowed))
{
}

QString UpdateCheckService::buildVersion()
{
    const QString version = QStringLiteral(VESPER_VERSION);
    return version.isEmpty() ? u"0"_s : version;
}

QUrl UpdateCheckService::manifestURL() const
{
    if (m_site.isEmpty())
        return {};
    QUrl url = m_site;
    url.setPath(u"/api/version.json"_s);
    url.setQuery(u"t="_s + QString::number(m_clock.now().toSecsSinceEpoch()));
    return url;
}

QUrl UpdateCheckService::fallbackDownload() const
{
    if (m_site.isEmpty())
        return {};
    QUrl url = m_site;
    url.setPath(u"/"_s);
    url.setFragment(u"download"_s);
    return url;
}

void UpdateCheckService::setStatus(const Status &status)
{
    if (m_status == status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
}

void UpdateCheckService::checkAutomatically()
{
    if (m_automaticConsidered)
        return;
    m_automaticConsidered = true;
    if (!m_autoCheckAllowed || !m_autoCheckAllowed())
        return;
    if (m_site.isEmpty()) {
        qCDebug(lcUpdates) << "No product site in this build: updates come from elsewhere";
        return;
    }

    const std::optional<QDateTime> last = m_defaults.dateValue(SettingsKeys::updateLastCheckDate);
    if (last && last->isValid()) {
        // A date far ahead can only come from a wrong clock; it must not block checks for good.
        const qint64 elapsed = last->msecsTo(m_clock.now());
        if (std::abs(elapsed) <= automaticInterval * 1000) {
            qCDebug(lcUpdates) << "Checked less than a day ago";
            return;
        }
    }
    check();
}

QCoro::Task<> UpdateCheckService::check()
{
    if (m_status.kind == Status::Kind::Checking || m_site.isEmpty())
        co_return;

    setStatus(Status::checking());
    // Stored before asking, so that a failed check also waits its day.
    m_defaults.setValue(SettingsKeys::updateLastCheckDate, m_clock.now());

    QNetworkRequest request(manifestURL());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, Http::userAgent());
    request.setRawHeader("Accept", "application/json");
    QPointer<UpdateCheckService> self(this);
    const std::optional<Http::Reply> reply
        = co_await Http::get(m_network, request, maxManifestBytes, requestTimeout);
    if (!self)
        co_return;

    const Status outcome = reply
        ? evaluate(reply->status, reply->body, m_currentVersion, fallbackDownload())
        : Status::failed();
    if (outcome.kind == Status::Kind::Failed)
        plainLog(failureLine);
    setStatus(outcome);
}

std::optional<QList<QString>> UpdateCheckService::versionPieces(const QString &version)
{
    QStringView text = QStringView(version).trimmed();
    if (text.startsWith(u'v', Qt::CaseInsensitive))
        text = text.sliced(1);
    if (text.isEmpty() || text.size() > kMaxVersionLength)
        return std::nullopt;

    QList<QString> pieces;
    for (const QStringView piece : text.split(u'.')) {
        if (!isDigits(piece))
            return std::nullopt;
        qsizetype zeros = 0;
        while (zeros < piece.size() - 1 && piece[zeros] == u'0')
            ++zeros;
        pieces.append(piece.sliced(zeros).toString());
    }
    return pieces;
}

std::optional<bool> UpdateCheckService::isNewer(const QString &remote, const QString &local)
{
    const std::optional<QList<QString>> remotePieces = versionPieces(remote);
    const std::optional<QList<QString>> localPieces = versionPieces(local);
    if (!remotePieces || !localPieces)
        return std::nullopt;
    const qsizetype count = std::max(remotePieces->size(), localPieces->size());
    for (qsizetype i = 0; i < count; ++i) {
        const QString a = remotePieces->value(i, u"0"_s);
        const QString b = localPieces->value(i, u"0"_s);
        if (const int order = compareNumbers(a, b); order != 0)
            return order > 0;
    }
    return false;
}

UpdateCheckService::Status UpdateCheckService::evaluate(int httpStatus, const QByteArray &body,
                                                        const QString &currentVersion,
                                                        const QUrl &fallbackDownload)
{
    if (httpStatus != 200)
        return Status::failed();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Status::failed();
    const QJsonObject manifest = document.object();
    const QJsonValue version = manifest.value(u"version"_s);
    if (!version.isString())
        return Status::failed();
    const std::optional<bool> newer = isNewer(version.toString(), currentVersion);
    if (!newer)
        return Status::failed();
    if (!*newer)
        return Status::upToDate();

    // The page is opened in the browser: only a web address may come from the manifest.
    QUrl download = fallbackDownload;
    const QJsonValue named = manifest.value(u"downloadURL"_s);
    if (named.isString()) {
        const QUrl url(named.toString(), QUrl::StrictMode);
        if (url.isValid() && (url.scheme() == u"https"_s || url.scheme() == u"http"_s)
            && !url.host().isEmpty())
            download = url;
    }
    return Status::updateAvailable(version.toString().trimmed(), download);
}
