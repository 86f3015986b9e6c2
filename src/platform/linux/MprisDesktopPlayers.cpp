#include "MprisDesktopPlayers.h"

#include "MprisProperties.h"
#include "dbuspropertiesproxy.h"
#include "mprisplayerproxy.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>
#include <QPointer>

#include <qcoro/qcorodbus.h>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcMpris, "northloft.VesperApp.Mpris", QtInfoMsg)

const QString kPlayerPath = u"/org/mpris/MediaPlayer2"_s;
const QString kPlayerInterface = u"org.mpris.MediaPlayer2.Player"_s;
const QString kPosition = u"Position"_s;
const QString kMetadata = u"Metadata"_s;
} // namespace

MprisDesktopPlayers::MprisDesktopPlayers(const QDBusConnection &bus, const QString &serviceName,
                                         QObject *parent)
    : DesktopPlayers(parent), m_bus(bus), m_service(serviceName),
      m_player(new MprisPlayerProxy(serviceName, kPlayerPath, bus, this)),
      m_properties(new DBusPropertiesProxy(serviceName, kPlayerPath, bus, this))
{
    m_player->setTimeout(callTimeoutMs());
    m_properties->setTimeout(callTimeoutMs());
    connect(m_properties, &DBusPropertiesProxy::PropertiesChanged, this,
            &MprisDesktopPlayers::propertiesChanged);
    connect(m_player, &MprisPlayerProxy::Seeked, this, &MprisDesktopPlayers::seeked);

    // The watcher comes first, so that no change slips between the question and its answer.
    auto *watcher
        = new QDBusServiceWatcher(m_service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &MprisDesktopPlayers::ownerChanged);
    queryInitialOwner();
}

MprisDesktopPlayers::~MprisDesktopPlayers() = default;

QCoro::Task<RawNowPlaying> MprisDesktopPlayers::readState(const QString &sourceId)
{
    if (!addressesPlayer(sourceId))
        co_return RawNowPlaying();
    const std::optional<QVariantMap> properties = co_await readPlayer();
    co_return properties ? MprisProperties::snapshot(*properties) : RawNowPlaying();
}

void MprisDesktopPlayers::playPause(const QString &sourceId)
{
    if (addressesPlayer(sourceId))
        sendCommand(m_player->PlayPause(), u"PlayPause"_s);
}

void MprisDesktopPlayers::nextTrack(const QString &sourceId)
{
    if (addressesPlayer(sourceId))
        sendCommand(m_player->Next(), u"Next"_s);
}

void MprisDesktopPlayers::previousTrack(const QString &sourceId)
{
    if (addressesPlayer(sourceId))
        sendCommand(m_player->Previous(), u"Previous"_s);
}

void MprisDesktopPlayers::setPosition(const QString &sourceId, double seconds)
{
    if (addressesPlayer(sourceId) && std::isfinite(seconds))
        seekTo(seconds);
}

void MprisDesktopPlayers::setShuffle(const QString &sourceId, bool on)
{
    if (addressesPlayer(sourceId)) {
        sendCommand(m_properties->Set(kPlayerInterface, u"Shuffle"_s, QDBusVariant(on)),
                    u"setting Shuffle"_s);
    }
}

void MprisDesktopPlayers::setRepeatMode(const QString &sourceId, int mode)
{
    if (addressesPlayer(sourceId)) {
        sendCommand(m_properties->Set(kPlayerInterface, u"LoopStatus"_s,
                                      QDBusVariant(MprisProperties::loopStatus(mode))),
                    u"setting LoopStatus"_s);
    }
}

QCoro::Task<std::optional<QString>> MprisDesktopPlayers::spotifyTrackID()
{
    const std::optional<QVariantMap> properties = co_await readPlayer();
    if (!properties)
        co_return std::nullopt;
    co_return MprisProperties::trackID(MprisProperties::plainMap(properties->value(kMetadata)));
}

QCoro::Task<std::optional<QString>> MprisDesktopPlayers::spotifyArtworkURL()
{
    const std::optional<QVariantMap> properties = co_await readPlayer();
    if (!properties)
        co_return std::nullopt;
    co_return MprisProperties::artworkURL(MprisProperties::plainMap(properties->value(kMetadata)));
}

PlayerAuthStatus MprisDesktopPlayers::requestAutomationPermission(const QString &sourceId, bool)
{
    // Any program on the session bus may drive an MPRIS player; there is nobody to ask.
    return addressesPlayer(sourceId) && m_running ? PlayerAuthStatus::Authorized
                                                  : PlayerAuthStatus::Unavailable;
}

QSet<QString> MprisDesktopPlayers::runningSourceIds() const
{
    return m_running ? QSet<QString> { spotifyBundleID() } : QSet<QString>();
}

bool MprisDesktopPlayers::addressesPlayer(const QString &sourceId) const
{
    return sourceId == spotifyBundleID();
}

QCoro::Task<> MprisDesktopPlayers::queryInitialOwner()
{
    QPointer self(this);
    QDBusMessage question
        = QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                         u"org.freedesktop.DBus"_s, u"NameHasOwner"_s);
    question << m_service;
    const QDBusPendingCall call = m_bus.asyncCall(question, callTimeoutMs());
    const QDBusMessage reply = co_await call;
    if (!self || m_ownerKnown)
        co_return;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCDebug(lcMpris) << "cannot tell whether" << m_service << "runs:" << reply.errorName();
        co_return;
    }
    if (reply.arguments().constFirst().toBool()) {
        playerAppeared();
        Q_EMIT runningPlayersChanged();
    }
}

void MprisDesktopPlayers::ownerChanged(const QString &service, const QString &oldOwner,
                                       const QString &newOwner)
{
    if (service != m_service)
        return;
    m_ownerKnown = true;
    if (!oldOwner.isEmpty() && m_running)
        playerVanished();
    if (!newOwner.isEmpty())
        playerAppeared();
    Q_EMIT runningPlayersChanged();
}

void MprisDesktopPlayers::playerAppeared()
{
    ++m_generation;
    m_running = true;
    m_cache.clear();
    m_cacheComplete = false;
    // Fills the cache that the first change will be merged into.
    readPlayer();
}

void MprisDesktopPlayers::playerVanished()
{
    ++m_generation;
    m_running = false;
    m_cache.clear();
    m_cacheComplete = false;
    // A player that quits has stopped; it cannot say so itself any more.
    Q_EMIT playerStateChanged(spotifyBundleID(), PlayerReading());
}

void MprisDesktopPlayers::propertiesChanged(const QString &interfaceName,
                                            const QVariantMap &changed,
                                            const QStringList &invalidated)
{
    if (interfaceName != kPlayerInterface)
        return;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        m_cache.insert(it.key(), MprisProperties::plainValue(it.value()));
    for (const QString &name : invalidated) {
        m_cache.remove(name);
        m_cacheComplete = false;
    }
    announceState();
}

void MprisDesktopPlayers::seeked(qlonglong position) { m_cache.insert(kPosition, position); }

QCoro::Task<std::optional<QVariantMap>> MprisDesktopPlayers::readPlayer()
{
    QPointer self(this);
    const quint64 generation = m_generation;
    const QDBusPendingCall call = m_properties->GetAll(kPlayerInterface);
    const QDBusMessage reply = co_await call;
    if (!self)
        co_return std::nullopt;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCDebug(lcMpris) << "reading" << m_service << "failed:" << reply.errorName();
        co_return std::nullopt;
    }
    QVariantMap properties = MprisProperties::plainMap(reply.arguments().constFirst());
    // Answers and signals of one player arrive in the order it sent them, so a full answer
    // is newer than every change merged while it was on its way.
    if (generation == m_generation && m_running) {
        m_cache = properties;
        m_cacheComplete = true;
    }
    co_return properties;
}

QCoro::Task<> MprisDesktopPlayers::announceState()
{
    // A flood of changes costs one read in flight and one more after it, never a call each.
    if (m_announcing) {
        m_announceAgain = true;
        co_return;
    }
    m_announcing = true;
    QPointer self(this);
    do {
        m_announceAgain = false;
        if (!m_running)
            break;
        const quint64 generation = m_generation;
        if (m_cacheComplete) {
            const QDBusPendingCall call = m_properties->Get(kPlayerInterface, kPosition);
            const QDBusMessage reply = co_await call;
            if (!self)
                co_return;
            // Without an answer the reading carries the last position known.
            if (generation == m_generation && reply.type() == QDBusMessage::ReplyMessage
                && !reply.arguments().isEmpty()) {
                m_cache.insert(kPosition,
                               MprisProperties::plainValue(reply.arguments().constFirst()));
            }
        } else {
            co_await readPlayer();
            if (!self)
                co_return;
        }
        // A player that went away meanwhile has already announced its stop.
        if (generation == m_generation)
            Q_EMIT playerStateChanged(spotifyBundleID(), MprisProperties::reading(m_cache));
    } while (m_announceAgain);
    m_announcing = false;
}

QCoro::Task<> MprisDesktopPlayers::seekTo(double seconds)
{
    QPointer self(this);
    // The track ID and position must be the player's current ones, not the cached.
    const std::optional<QVariantMap> properties = co_await readPlayer();
    if (!self || !properties)
        co_return;
    const QVariantMap metadata = MprisProperties::plainMap(properties->value(kMetadata));
    const auto target
        = qint64(std::llround(std::clamp(seconds, 0.0, MprisProperties::maxSeconds()) * 1e6));
    if (const std::optional<QDBusObjectPath> track = MprisProperties::trackObjectPath(metadata)) {
        sendCommand(m_player->SetPosition(*track, target), u"SetPosition"_s);
        co_return;
    }
    // Without a track ID to address, only a step from where the player is can get there.
    const std::optional<double> current
        = MprisProperties::microsecondsToSeconds(properties->value(kPosition));
    if (!current) {
        qCDebug(lcMpris) << "cannot seek" << m_service << "without a track ID or a position";
        co_return;
    }
    sendCommand(m_player->Seek(target - qint64(std::llround(*current * 1e6))), u"Seek"_s);
}

void MprisDesktopPlayers::sendCommand(const QDBusPendingCall &call, const QString &what)
{
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [what](QDBusPendingCallWatcher *finished) {
                if (finished->isError())
                    qCDebug(lcMpris) << what << "failed:" << finished->error().name();
                finished->deleteLater();
            });
}
