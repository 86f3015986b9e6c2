#pragma once

#include "platform/DesktopPlayers.h"

#include <QStringList>

// Desktop players at the interface edge: the test sets what each player answers and reads the
// commands sent. Used where a rule concerns Apple Music, which has no Linux player to fake on
// the bus, or where timing must be exact.
class FakeDesktopPlayers : public DesktopPlayers
{
    Q_OBJECT
public:
    using DesktopPlayers::DesktopPlayers;

    DesktopTrack spotify;
    DesktopTrack appleMusic;
    QSet<QString> running;
    PlayerAuthStatus permission = PlayerAuthStatus::Authorized;
    QStringList commands;
    QStringList permissionRequests;
    int spotifyReads = 0;
    int appleMusicReads = 0;

    void setRunning(const QSet<QString> &bundleIDs)
    {
        running = bundleIDs;
        Q_EMIT runningPlayersChanged();
    }
    void post(const QString &name, const QVariantMap &userInfo)
    {
        Q_EMIT notificationPosted(name, userInfo);
    }

    QCoro::Task<DesktopTrack> spotifyState() override
    {
        ++spotifyReads;
        co_return DesktopTrack(spotify); // a copy: QCoro 0.8 moves from an lvalue co_returned
    }
    QCoro::Task<DesktopTrack> appleMusicState() override
    {
        ++appleMusicReads;
        co_return DesktopTrack(appleMusic);
    }
    void playPause(const QString &id) override { commands << u"playPause " + id; }
    void nextTrack(const QString &id) override { commands << u"next " + id; }
    void previousTrack(const QString &id) override { commands << u"previous " + id; }
    void setPosition(const QString &id, double s) override
    {
        commands << u"position " + id + u' ' + QString::number(s);
    }
    void setShuffle(const QString &id, bool on) override
    {
        commands << u"shuffle " + id + (on ? u" on" : u" off");
    }
    void setRepeatMode(const QString &id, int mode) override
    {
        commands << u"repeat " + id + u' ' + QString::number(mode);
    }
    QCoro::Task<std::optional<QString>> spotifyTrackID() override { co_return std::nullopt; }
    QCoro::Task<std::optional<QString>> spotifyArtworkURL() override { co_return std::nullopt; }
    QCoro::Task<std::optional<QImage>> appleMusicArtwork() override { co_return std::nullopt; }
    QCoro::Task<bool> appleMusicIsLiked() override { co_return false; }
    void appleMusicSetLiked(bool) override { }
    PlayerAuthStatus requestAutomationPermission(const QString &id, bool) override
    {
        permissionRequests << id;
        return running.contains(id) ? permission : PlayerAuthStatus::Unavailable;
    }
    QSet<QString> runningSourceIds() const override { return running; }
};
