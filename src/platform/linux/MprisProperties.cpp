#include "MprisProperties.h"

#include <QDBusArgument>
#include <QDBusVariant>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace MprisProperties {

namespace {
// Deeper values are not metadata anyone reads; the bound keeps a hostile peer from recursing.
constexpr int kMaxDepth = 4;
// Identifiers and addresses are useless when cut, so longer ones are dropped instead.
constexpr qsizetype kMaxIdentifierLength = 512;
constexpr qsizetype kMaxURLLength = 8192;

const QString kNoTrackPath = u"/org/mpris/MediaPlayer2/TrackList/NoTrack"_s;

QVariant plainValue(const QVariant &value, int depth);

QVariantMap plainMapOf(const QDBusArgument &argument, int depth)
{
    QVariantMap map;
    argument >> map;
    for (auto it = map.begin(); it != map.end(); ++it)
        it.value() = plainValue(it.value(), depth + 1);
    return map;
}

QVariant plainValue(const QVariant &value, int depth)
{
    if (depth > kMaxDepth)
        return {};
    QVariant plain = value;
    while (plain.metaType() == QMetaType::fromType<QDBusVariant>())
        plain = qvariant_cast<QDBusVariant>(plain).variant();
    if (plain.metaType() == QMetaType::fromType<QVariantMap>()) {
        QVariantMap map = plain.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = plainValue(it.value(), depth + 1);
        return map;
    }
    if (plain.metaType() != QMetaType::fromType<QDBusArgument>())
        return plain;

    const auto argument = qvariant_cast<QDBusArgument>(plain);
    const QString signature = argument.currentSignature();
    if (signature == "a{sv}"_L1)
        return plainMapOf(argument, depth);
    if (signature == "as"_L1)
        return qdbus_cast<QStringList>(argument);
    if (signature == "av"_L1) {
        QVariantList list;
        argument >> list;
        for (QVariant &item : list)
            item = plainValue(item, depth + 1);
        return list;
    }
    return {};
}

QString truncated(const QString &value, qsizetype length)
{
    if (value.size() <= length)
        return value;
    // Never leave half of a surrogate pair at the end.
    if (value.at(length - 1).isHighSurrogate())
        --length;
    return value.left(length);
}

// Whether a string has the syntax of a D-Bus object path.
bool isObjectPath(const QString &path)
{
    if (path == "/"_L1)
        return true;
    if (!path.startsWith(u'/') || path.endsWith(u'/'))
        return false;
    QChar previous;
    for (const QChar c : path) {
        const bool separator = c == u'/';
        if (separator && previous == u'/')
            return false;
        if (!separator && !(c.isLetterOrNumber() && c.unicode() < 128) && c != u'_')
            return false;
        previous = c;
    }
    return true;
}

// mpris:trackid as text, whether it came as an object path or a string.
QString trackIDText(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(value).path();
    if (value.metaType() == QMetaType::fromType<QString>())
        return value.toString();
    return {};
}

double secondsOrZero(const QVariant &microseconds)
{
    return microsecondsToSeconds(microseconds).value_or(0);
}
} // namespace

QVariant plainValue(const QVariant &value) { return plainValue(value, 0); }

QVariantMap plainMap(const QVariant &value)
{
    const QVariant plain = plainValue(value);
    return plain.metaType() == QMetaType::fromType<QVariantMap>() ? plain.toMap() : QVariantMap();
}

std::optional<double> microsecondsToSeconds(const QVariant &value)
{
    double microseconds = 0;
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        microseconds = value.toDouble();
        break;
    default:
        return std::nullopt;
    }
    if (!std::isfinite(microseconds))
        return std::nullopt;
    return std::clamp(microseconds / 1e6, 0.0, maxSeconds());
}

QString text(const QVariant &value)
{
    if (value.metaType() != QMetaType::fromType<QString>())
        return {};
    return truncated(value.toString(), maxTextLength());
}

QString artists(const QVariant &value)
{
    QStringList names;
    if (value.metaType() == QMetaType::fromType<QStringList>()) {
        names = value.toStringList();
    } else if (value.metaType() == QMetaType::fromType<QVariantList>()) {
        for (const QVariant &item : value.toList()) {
            if (item.metaType() == QMetaType::fromType<QString>())
                names.append(item.toString());
        }
    } else {
        return text(value);
    }
    names.removeAll(QString());
    QString joined;
    for (const QString &name : std::as_const(names)) {
        if (!joined.isEmpty())
            joined += ", "_L1;
        joined += name;
        // A list long enough to pass the cap is not joined to the end.
        if (joined.size() > maxTextLength())
            break;
    }
    return truncated(joined, maxTextLength());
}

RawNowPlaying snapshot(const QVariantMap &properties)
{
    const PlayerReading read = reading(properties);
    if (read.state == PlaybackState::Stopped || read.title.isEmpty())
        return {};
    return { read.state == PlaybackState::Playing,
             read.title,
             read.artist,
             read.album,
             read.duration,
             read.position,
             shuffle(properties.value(u"Shuffle"_s)),
             repeatMode(properties.value(u"LoopStatus"_s)),
             true };
}

PlayerReading reading(const QVariantMap &properties)
{
    const QString status = text(properties.value(u"PlaybackStatus"_s));
    const QVariantMap metadata = plainMap(properties.value(u"Metadata"_s));
    const PlaybackState state = status == "Playing"_L1 ? PlaybackState::Playing
        : status == "Paused"_L1                        ? PlaybackState::Paused
                                                       : PlaybackState::Stopped;
    return { state,
             text(metadata.value(u"xesam:title"_s)),
             artists(metadata.value(u"xesam:artist"_s)),
             text(metadata.value(u"xesam:album"_s)),
             secondsOrZero(metadata.value(u"mpris:length"_s)),
             secondsOrZero(properties.value(u"Position"_s)) };
}

std::optional<QString> trackID(const QVariantMap &metadata)
{
    const QString id = trackIDText(metadata.value(u"mpris:trackid"_s));
    if (id.isEmpty() || id.size() > kMaxIdentifierLength || id == kNoTrackPath)
        return std::nullopt;
    const qsizetype separator = std::max(id.lastIndexOf(u':'), id.lastIndexOf(u'/'));
    const QString piece = id.mid(separator + 1);
    if (piece.isEmpty())
        return std::nullopt;
    return piece;
}

std::optional<QDBusObjectPath> trackObjectPath(const QVariantMap &metadata)
{
    const QString path = trackIDText(metadata.value(u"mpris:trackid"_s));
    if (path.size() > kMaxIdentifierLength || !isObjectPath(path) || path == kNoTrackPath)
        return std::nullopt;
    return QDBusObjectPath(path);
}

std::optional<QString> artworkURL(const QVariantMap &metadata)
{
    const QVariant value = metadata.value(u"mpris:artUrl"_s);
    if (value.metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    QString url = value.toString();
    if (url.isEmpty() || url.size() > kMaxURLLength)
        return std::nullopt;
    const auto pagePrefix = "https://open.spotify.com/image/"_L1;
    if (url.startsWith(pagePrefix) && url.size() > pagePrefix.size())
        url = "https://i.scdn.co/image/"_L1 + QStringView(url).mid(pagePrefix.size());
    return url;
}

bool shuffle(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<bool>() && value.toBool();
}

int repeatMode(const QVariant &loopStatus)
{
    // Spotify cannot say "repeat one": whatever repeats counts as repeating all.
    const QString status = text(loopStatus);
    return status == "Track"_L1 || status == "Playlist"_L1 ? RepeatMode::All : RepeatMode::Off;
}

QString loopStatus(int repeatMode)
{
    return repeatMode != RepeatMode::Off ? u"Playlist"_s : u"None"_s;
}

} // namespace MprisProperties
