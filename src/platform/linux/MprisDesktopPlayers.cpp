#include "platform/linux/MprisDesktopPlayers.h"

#include "platform/linux/MprisPlayer.h"
#include "platform/linux/MprisProperties.h"

MprisDesktopPlayers::MprisDesktopPlayers(const QDBusConnection &bus, const QString &serviceName,
                                         QObject *parent)
    : DesktopPlayers(parent), m_spotify(new MprisPlayer(bus, serviceName, this))
{
    connect(m_spotify, &MprisPlayer::stateChanged, this, [this](const PlayerReading &reading) {
        Q_EMIT playerStateChanged(spotifyBundleID(), reading);
    });
    connect(m_spotify, &MprisPlayer::runningChanged, this,
            &MprisDesktopPlayers::runningPlayersChanged);
}

MprisDesktopPlayers::~MprisDesktopPlayers() = default;

MprisPlayer *MprisDesktopPlayers::player(const QString &sourceId) const
{
    return sourceId == spotifyBundleID() ? m_spotify : nullptr;
}

QCoro::Task<RawNowPlaying> MprisDesktopPlayers::readState(const QString &sourceId)
{
    MprisPlayer *target = player(sourceId);
    if (!target)
        co_return RawNowPlaying();
    const RawNowPlaying state = co_await target->readState();
    co_return state;
}

void MprisDesktopPlayers::playPause(const QString &sourceId)
{
    if (MprisPlayer *target = player(sourceId))
        target->playPause();
}

void MprisDesktopPlayers::nextTrack(const QString &sourceId)
{
    if (MprisPlayer *target = player(sourceId))
        target->nextTrack();
}

void MprisDesktopPlayers::previousTrack(const QString &sourceId)
{
    if (MprisPlayer *target = player(sourceId))
        target->previousTrack();
}

void MprisDesktopPlayers::setPosition(const QString &sourceId, double seconds)
{
    if (MprisPlayer *target = player(sourceId))
        target->setPosition(seconds);
}

void MprisDesktopPlayers::setShuffle(const QString &sourceId, bool on)
{
    if (MprisPlayer *target = player(sourceId))
        target->setShuffle(on);
}

void MprisDesktopPlayers::setRepeatMode(const QString &sourceId, int mode)
{
    if (MprisPlayer *target = player(sourceId))
        target->setRepeatMode(mode);
}

QCoro::Task<std::optional<QString>> MprisDesktopPlayers::spotifyTrackID()
{
    const std::optional<QVariantMap> metadata = co_await m_spotify->readMetadata();
    co_return metadata ? MprisProperties::trackID(*metadata) : std::nullopt;
}

QCoro::Task<std::optional<QString>> MprisDesktopPlayers::spotifyArtworkURL()
{
    const std::optional<QVariantMap> metadata = co_await m_spotify->readMetadata();
    co_return metadata ? MprisProperties::artworkURL(*metadata) : std::nullopt;
}

PlayerAuthStatus MprisDesktopPlayers::requestAutomationPermission(const QString &sourceId, bool)
{
    // Any program on the session bus may drive an MPRIS player; there is nobody to ask.
    const MprisPlayer *target = player(sourceId);
    return target && target->isRunning() ? PlayerAuthStatus::Authorized
                                         : PlayerAuthStatus::Unavailable;
}

QSet<QString> MprisDesktopPlayers::runningSourceIds() const
{
    return m_spotify->isRunning() ? QSet<QString> { spotifyBundleID() } : QSet<QString>();
}
