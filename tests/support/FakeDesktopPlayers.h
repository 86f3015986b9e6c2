#pragma once

#include "platform/DesktopPlayers.h"

#include <QHash>
#include <QStringList>

// Desktop players at the interface edge, where timing must be exact: the test sets what each
// player answers and reads the commands sent, as "command source value".
class FakeDesktopPlayers : public DesktopPlayers
{
    Q_OBJECT
public:
    using DesktopPlayers::DesktopPlayers;

    QHash<QString, RawNowPlaying> states; // by source id
    std::optional<QString> artworkURL;
    QSet<QString> running;
    PlayerAuthStatus permission = PlayerAuthStatus::Authorized;
    QStringList commands;
    QStringList permissionRequests;

    void setRunning(const QSet<QString> &sourceIds)
    {
        running = sourceIds;
        Q_EMIT runningPlayersChanged();
    }
    void announce(const QString &id, const PlayerReading &r) { Q_EMIT playerStateChanged(id, r); }

    QCoro::Task<RawNowPlaying> readState(const QString &id) override
    {
        co_return RawNowPlaying(states.value(id)); // a copy: QCoro 0.8 moves lvalues co_returned
    }
    void playPause(const QString &id) override { commands << u"playPause " + id; }
    void nextTrack(const QString &id) override { commands << u"next " + id; }
    void previousTrack(const QString &id) override { commands << u"previous " + id; }
    void setPosition(const QString &id, double s) override { record(u"position ", id, s); }
    void setShuffle(const QString &id, bool on) override { record(u"shuffle ", id, on); }
    void setRepeatMode(const QString &id, int mode) override { record(u"repeat ", id, mode); }
    std::optional<QString> spotifyTrack; // what spotifyTrackID() answers
    // A copy: QCoro 0.8 moves from a member that is co_returned.
    QCoro::Task<std::optional<QString>> spotifyTrackID() override
    {
        co_return std::optional<QString>(spotifyTrack);
    }
    QCoro::Task<std::optional<QString>> spotifyArtworkURL() override
    {
        co_return std::optional<QString>(artworkURL);
    }
    PlayerAuthStatus requestAutomationPermission(const QString &id, bool) override
    {
        permissionRequests << id;
        return running.contains(id) ? permission : PlayerAuthStatus::Unavailable;
    }
    QSet<QString> runningSourceIds() const override { return running; }

private:
    void record(QStringView command, const QString &id, double value)
    {
        commands << command + id + u' ' + QString::number(value);
    }
};
