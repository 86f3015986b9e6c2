#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class Clock;
class QNetworkAccessManager;
class SettingsStore;

// Finds out whether a newer Vesper has been published on the product site, by its manifest
// /api/version.json ({"version": "1.2.0", "downloadURL": "https://…"}). It never downloads
// anything: an update is announced with the page to fetch it from. A build that names no site
// never asks.
class UpdateCheckService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)

public:
    struct Status
    {
        enum class Kind { UpdateAvailable, Idle, Checking, UpToDate, Failed };

        Kind kind = Kind::Idle;
        QString version; // the manifest's version, with an available update only
        QUrl downloadURL; // likewise

        static Status updateAvailable(QString version, QUrl downloadURL)
        {
            return { Kind::UpdateAvailable, std::move(version), std::move(downloadURL) };
        }
        static Status idle() { return { Kind::Idle, {}, {} }; }
        static Status checking() { return { Kind::Checking, {}, {} }; }
        static Status upToDate() { return { Kind::UpToDate, {}, {} }; }
        static Status failed() { return { Kind::Failed, {}, {} }; }

        friend bool operator==(const Status &, const Status &) = default;
    };

    // Seconds that must pass after a check before the next automatic one.
    static constexpr qint64 automaticInterval = 24 * 60 * 60;
    static constexpr std::chrono::milliseconds requestTimeout { std::chrono::seconds(60) };
    // A manifest is a few dozen bytes; anything near this is not one.
    static constexpr qint64 maxManifestBytes = 64 * 1024;
    static const QString failureLine;

    // site: the product site's origin, empty when the build names none. autoCheckAllowed reads
    // the user's "check automatically" setting.
    UpdateCheckService(QNetworkAccessManager &network, SettingsStore &defaults, Clock &clock,
                       QUrl site, QString currentVersion, std::function<bool()> autoCheckAllowed,
                       QObject *parent = nullptr);

    Status status() const { return m_status; }
    QString currentVersion() const { return m_currentVersion; }
    QUrl site() const { return m_site; }
    // The manifest's address with a query that no cache on the way can answer.
    QUrl manifestURL() const;
    // The site's home page at its download section, for a manifest that names no page.
    QUrl fallbackDownload() const;

    // Checks when the setting allows it and the last check is more than a day old. Only the
    // first call of a run can check.
    void checkAutomatically();
    // One check, unless one is running or the build names no site.
    QCoro::Task<> check();

    // Whether remote is a later version than local. Versions are dot-separated numbers, with an
    // optional leading "v" and surrounding blanks; missing pieces count as 0, so "2.0" equals
    // "2.0.0". None when either is malformed.
    static std::optional<bool> isNewer(const QString &remote, const QString &local);
    // The numbers of a version, none when malformed.
    static std::optional<QList<QString>> versionPieces(const QString &version);
    // The outcome of a manifest answer: its HTTP status and body.
    static Status evaluate(int httpStatus, const QByteArray &body, const QString &currentVersion,
                           const QUrl &fallbackDownload);

    // The running version as the build names it, "0" when it names none.
    static QString buildVersion();

Q_SIGNALS:
    void statusChanged();

private:
    void setStatus(const Status &status);

    QNetworkAccessManager &m_network;
    SettingsStore &m_defaults;
    Clock &m_clock;
    QUrl m_site;
    QString m_currentVersion;
    std::function<bool()> m_autoCheckAllowed;
    Status m_status;
    bool m_automaticConsidered = false;
};

Q_DECLARE_METATYPE(UpdateCheckService::Status)
