#pragma once

#include "models/LyricLine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// Lyrics of one track, timed or plain.
struct LyricsResult
{
    QList<LyricLine> lines;
    bool synced = false;
};

// Finds the lyrics of the track being played in LRCLIB and publishes them for the lyrics view.
// Only the current track's lyrics are kept: the same title and artist are not looked up twice
// in a row, and a new track replaces everything. Every failure reads as "no lyrics".
class LyricsService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<LyricLine> lines READ lines NOTIFY linesChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isSynced READ isSynced NOTIFY isSyncedChanged)
    Q_PROPERTY(QString lastKey READ lastKey NOTIFY lastKeyChanged)

public:
    // A search answers with at most 20 records; lyrics this size are far beyond any song.
    static constexpr qint64 maxBodyBytes = 2 * 1024 * 1024;
    // Durations outside this range are not sent; the service then matches without one.
    static constexpr double maxDuration = 7 * 24 * 3600.0;

    explicit LyricsService(QNetworkAccessManager &network, QObject *parent = nullptr);

    // Each request must be complete within this time; 30 seconds unless set.
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    QList<LyricLine> lines() const { return m_lines; }
    bool isLoading() const { return m_isLoading; }
    bool isSynced() const { return m_isSynced; }
    // "<title>|<artist>" of the last request taken.
    QString lastKey() const { return m_lastKey; }

    // Asks for the lyrics of a track and returns at once; the published state follows. A request
    // with the key of the last one, or with an empty title, changes nothing.
    void fetch(const QString &title, const QString &artist, double duration);

    // The line to highlight at a playback position; 0 unless the lyrics are synced.
    int currentIndex(double seconds) const;

    // The title without version tags such as "(2011 Remaster)" or "- Live at X"; the title as
    // given when nothing, or nothing but a tag, would be left.
    static QString cleanTitle(const QString &title);
    // The lyrics in an answer of /api/get (one record) or /api/search (the best of its records
    // for that duration); none when it holds no lyrics or is not shaped as LRCLIB answers.
    static std::optional<LyricsResult> fromRecordReply(const QJsonDocument &reply);
    static std::optional<LyricsResult> fromSearchReply(const QJsonDocument &reply, double duration);
    // The lyrics of one LRCLIB record: synced when its LRC text has timed lines, else plain;
    // none when it has neither.
    static std::optional<LyricsResult> lyrics(const QJsonObject &record);
    // The search result to use: synced lyrics before plain ones, then the nearest duration, the
    // earlier record on a tie. An unknown duration (not finite, or 0) leaves the order to the
    // service. -1 when no record has lyrics. Every element must be an object.
    static qsizetype chooseCandidate(const QJsonArray &records, double duration);

Q_SIGNALS:
    void linesChanged();
    void isLoadingChanged();
    void isSyncedChanged();
    void lastKeyChanged();

private:
    QCoro::Task<> run(quint64 serial, QString title, QString artist, double duration);
    // The attempts in order: the title as given, the cleaned title, then a search. Stops early
    // once the request is no longer the current one.
    QCoro::Task<LyricsResult> load(quint64 serial, QString title, QString artist, double duration);
    QCoro::Task<std::optional<LyricsResult>> get(QString title, QString artist, double duration);
    QCoro::Task<std::optional<LyricsResult>> search(QString title, QString artist, double duration);
    QCoro::Task<std::optional<QJsonDocument>> requestJSON(QUrl url);
    QUrl endpoint(const QString &path, const QList<std::pair<QString, QString>> &items) const;
    void publish(const QList<LyricLine> &lines, bool synced, bool loading);

    QNetworkAccessManager &m_network;
    std::chrono::milliseconds m_timeout { std::chrono::seconds(30) };
    quint64 m_serial = 0;

    QList<LyricLine> m_lines;
    bool m_isLoading = false;
    bool m_isSynced = false;
    QString m_lastKey;
};
