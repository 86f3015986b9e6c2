#pragma once

#include "models/NowPlayingInfo.h"
#include "models/RawNowPlaying.h"
#include "models/Source.h"
#include "models/SourceListItem.h"
#include "models/WebPlayerState.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <optional>

class ArtworkResolver;
class Clock;
class DesktopPlayers;
struct PlayerReading;
class SettingsStore;
class WebBridge;

// The hub of Vesper: decides which source is shown, keeps the one published now-playing record
// with an interpolated position, and routes every transport command to the shown source.
class NowPlayingAggregator : public QObject
{
    Q_OBJECT
    Q_PROPERTY(NowPlayingInfo nowPlaying READ nowPlaying NOTIFY nowPlayingChanged)
    Q_PROPERTY(std::optional<Source> lockedSource READ lockedSource NOTIFY lockedSourceChanged)
    Q_PROPERTY(QList<Source> availableSourcesSnapshot READ availableSourcesSnapshot NOTIFY
                   availableSourcesSnapshotChanged)
    Q_PROPERTY(std::optional<QString> webArtworkURL READ webArtworkURL NOTIFY webArtworkURLChanged)

public:
    static constexpr int kPollIntervalMs = 5000;
    static constexpr int kProgressIntervalMs = 500;

    // webBridge may be null while no browser bridge exists: no web source is then open.
    NowPlayingAggregator(DesktopPlayers &players, WebBridge *webBridge, ArtworkResolver &artwork,
                         SettingsStore &defaults, Clock &clock, QObject *parent = nullptr);
    ~NowPlayingAggregator() override;

    const NowPlayingInfo &nowPlaying() const { return m_nowPlaying; }
    std::optional<Source> lockedSource() const { return m_lockedSource; }
    QList<Source> availableSourcesSnapshot() const { return m_availableSourcesSnapshot; }
    std::optional<QString> webArtworkURL() const { return m_webArtworkURL; }

    void togglePlayPause();
    void nextTrack();
    void previousTrack();
    void toggleShuffle();
    void cycleRepeat();
    void seek(double seconds);

    void selectSource(const Source &app);
    QList<SourceListItem> sourceList() const;
    QList<Source> availableSources() const;
    void refreshAvailableSources();

    // Every web player report, and none when the web state is gone.
    void onWebState(const std::optional<WebPlayerState> &state);

    // The 5-second poll of the desktop players; overlapping polls are folded into one.
    QCoro::Task<> slowRefresh();
    // One step of the position ticker.
    void tickProgress();
    bool isProgressRunning() const { return m_progressTimer.isActive(); }

Q_SIGNALS:
    void nowPlayingChanged();
    void lockedSourceChanged();
    void availableSourcesSnapshotChanged();
    void webArtworkURLChanged();
    // Controlling a desktop player was refused; emitted at most once per run.
    void automationDenied(const Source &app);

private:
    bool apply(const RawNowPlaying &raw, const QString &sourceId, SourceCapabilities capabilities);
    void clear();
    void replaceNowPlaying(const NowPlayingInfo &info);
    void onPlayerStateChanged(const QString &sourceId, const PlayerReading &reading);
    void startProgress();
    void stopProgress();
    void anchor(double elapsed);
    void restoreSavedSource(const std::optional<QList<Source>> &sources);
    void reportDenied(const Source &app);
    QCoro::Task<> fetchArtwork(QString title, QString artist, QString album, QString sourceId);
    QString lockName() const;

    DesktopPlayers &m_players;
    WebBridge *m_webBridge;
    ArtworkResolver &m_artwork;
    SettingsStore &m_defaults;
    Clock &m_clock;

    QString m_lastWebLogSignature;
    NowPlayingInfo m_nowPlaying;
    QTimer m_progressTimer;
    QTimer m_slowPollTimer;
    double m_lastFetchDate = 0; // monotonic seconds
    double m_lastFetchedElapsed = 0;
    QString m_lastTrackKey;
    QList<Source> m_availableSourcesSnapshot;
    std::optional<QString> m_webArtworkURL;
    std::optional<Source> m_lockedSource;
    QSet<QString> m_permRequested;
    bool m_didReportDenied = false;
    bool m_pollInFlight = false;
    bool m_pollAgain = false;
};
