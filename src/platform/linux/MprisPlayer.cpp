#include "platform/linux/MprisPlayer.h"

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

MprisPlayer::MprisPlayer(const QDBusConnection &bus, const QString &serviceName, QObject *parent)
    : QObject(parent), m_bus(bus), m_service(serviceName),
      m_player(new MprisPlayerProxy(serviceName, kPlayerPath, bus, this)),
      m_properties(new DBusPropertiesProxy(serviceName, kPlayerPath, bus, this))
{
    m_player->setTimeout(callTimeoutMs);
    m_properties->setTimeout(callTimeoutMs);
    connect(m_properties, &DBusPropertiesProxy::PropertiesChanged, this,
            &MprisPlayer::propertiesChanged);
    connect(m_player, &MprisPlayerProxy::Seeked, this, &MprisPlayer::seeked);

    // The watcher comes first, so that no change slips between the question and its answer.
    auto *watcher
        = new QDBusServiceWatcher(m_service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &MprisPlayer::ownerChanged);
    queryInitialOwner();
}

MprisPlayer::~MprisPlayer() = default;

QCoro::Task<RawNowPlaying> MprisPlayer::readState()
{
    const std::optional<QVariantMap> properties = co_await readPlayer();
    co_return properties ? MprisProperties::snapshot(*properties) : RawNowPlaying();
}

QCoro::Task<std::optional<QVariantMap>> MprisPlayer::readMetadata()
{
    const std::optional<QVariantMap> properties = co_await readPlayer();
    if (!properties)
        co_return std::nullopt;
    co_return MprisProperties::plainMap(properties->value(kMetadata));
}

void MprisPlayer::playPause() { sendCommand(m_player->PlayPause(), u"PlayPause"_s); }

void MprisPlayer::nextTrack() { sendCommand(m_player->Next(), u"Next"_s); }

void MprisPlayer::previousTrack() { sendCommand(m_player->Previous(), u"Previous"_s); }

void MprisPlayer::setPosition(double seconds)
{
    if (std::isfinite(seconds))
        seekTo(seconds);
}

void MprisPlayer::setShuffle(bool on)
{
    sendCommand(m_properties->Set(kPlayerInterface, u"Shuffle"_s, QDBusVariant(on)),
                u"setting Shuffle"_s);
}

void MprisPlayer::setRepeatMode(int mode)
{
    sendCommand(m_properties->Set(kPlayerInterface, u"LoopStatus"_s,
                                  QDBusVariant(MprisProperties::loopStatus(mode))),
                u"setting LoopStatus"_s);
}

QCoro::Task<> MprisPlayer::queryInitialOwner()
{
    QPointer self(this);
    QDBusMessage question
        = QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                         u"org.freedesktop.DBus"_s, u"NameHasOwner"_s);
    question << m_service;
    const QDBusPendingCall call = m_bus.asyncCall(question, callTimeoutMs);
    const QDBusMessage reply = co_await call;
    if (!self || m_ownerKnown)
        co_return;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCDebug(lcMpris) << "cannot tell whether" << m_service << "runs:" << reply.errorName();
        co_return;
    }
    if (reply.arguments().constFirst().toBool()) {
        appeared();
        Q_EMIT runningChanged();
    }
}

void MprisPlayer::ownerChanged(const QString &service, const QString &oldOwner,
                               const QString &newOwner)
{
    if (service != m_service)
        return;
    m_ownerKnown = true;
    if (!oldOwner.isEmpty() && m_running)
        vanished();
    if (!newOwner.isEmpty())
        appeared();
    Q_EMIT runningChanged();
}

void MprisPlayer::appeared()
{
    ++m_generation;
    m_running = true;
    m_cache.clear();
    m_cacheComplete = false;
    // Fills the cache that the first change will be merged into.
    readPlayer();
}

void MprisPlayer::vanished()
{
    ++m_generation;
    m_running = false;
    m_cache.clear();
    m_cacheComplete = false;
    // A player that quits has stopped; it cannot say so itself any more.
    Q_EMIT stateChanged(PlayerReading());
}

void MprisPlayer::propertiesChanged(const QString &interfaceName, const QVariantMap &changed,
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

void MprisPlayer::seeked(qlonglong position) { m_cache.insert(kPosition, position); }

QCoro::Task<std::optional<QVariantMap>> MprisPlayer::readPlayer()
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

QCoro::Task<> MprisPlayer::announceState()
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
            Q_EMIT stateChanged(MprisProperties::reading(m_cache));
    } while (m_announceAgain);
    m_announcing = false;
}

QCoro::Task<> MprisPlayer::seekTo(double seconds)
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

void MprisPlayer::sendCommand(const QDBusPendingCall &call, const QString &what)
{
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [what](QDBusPendingCallWatcher *finished) {
                if (finished->isError())
                    qCDebug(lcMpris) << what << "failed:" << finished->error().name();
                finished->deleteLater();
            });
}
