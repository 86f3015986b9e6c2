#include "scrobbling/ScrobbleQueue.h"

#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {
// JSON numbers are doubles: beyond 2^53 an integer is no longer exact.
constexpr double kMaxExactInteger = 9007199254740992.0;

std::optional<qint64> integerFrom(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::trunc(number)
        || std::abs(number) > kMaxExactInteger)
        return std::nullopt;
    return qint64(number);
}
} // namespace

ScrobbleQueue::ScrobbleQueue(SettingsStore &defaults) : m_defaults(defaults) { }

QList<QueuedScrobble> ScrobbleQueue::entries() { return load().value_or(QList<QueuedScrobble>()); }

std::optional<qsizetype> ScrobbleQueue::append(const QueuedScrobble &entry)
{
    std::optional<QList<QueuedScrobble>> queue = load();
    if (!queue)
        return std::nullopt;
    queue->append(entry);
    write(*queue);
    return std::min(queue->size(), kMaxEntries);
}

qsizetype ScrobbleQueue::removeDelivered(const QList<QueuedScrobble> &batch)
{
    std::optional<QList<QueuedScrobble>> queue = load();
    if (!queue)
        return 0;
    const qsizetype delivered = deliveredPrefix(*queue, batch);
    if (delivered > 0) {
        queue->remove(0, delivered);
        write(*queue);
    }
    return queue->size();
}

void ScrobbleQueue::clear() { store({}); }

bool ScrobbleQueue::store(const QList<QueuedScrobble> &entries)
{
    if (!load())
        return false;
    write(entries);
    return true;
}

std::optional<QList<QueuedScrobble>> ScrobbleQueue::load()
{
    const QVariant stored = m_defaults.object(SettingsKeys::lastfmScrobbleQueue);
    if (!stored.isValid())
        return QList<QueuedScrobble>();
    if (stored.metaType() == QMetaType::fromType<QByteArray>()) {
        if (auto decoded = decode(stored.toByteArray()))
            return decoded;
    }
    qCWarning(lcLastFm) << "the stored scrobble queue cannot be read";
    if (!setAside(u"damaged"_s))
        return std::nullopt;
    return QList<QueuedScrobble>();
}

void ScrobbleQueue::write(QList<QueuedScrobble> entries)
{
    if (entries.size() > kMaxEntries)
        entries.remove(0, entries.size() - kMaxEntries);
    m_defaults.setValue(SettingsKeys::lastfmScrobbleQueue, encode(entries));
}

bool ScrobbleQueue::setAside(const QString &label)
{
    const QVariant stored = m_defaults.object(SettingsKeys::lastfmScrobbleQueue);
    if (!stored.isValid())
        return true;
    QByteArray bytes;
    if (stored.metaType() == QMetaType::fromType<QByteArray>()) {
        bytes = stored.toByteArray();
    } else if (const auto json = SettingsStore::toStored(stored)) {
        // Any other kind of value, kept as the one element of a JSON array.
        bytes = QJsonDocument(QJsonArray { *json }).toJson();
    }

    const QString folder = QFileInfo(m_defaults.filePath()).absolutePath();
    const QString stem = folder + u"/lastfmScrobbleQueue.json."_s + label + u'-'
        + QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd-HHmmss-zzz"_s);
    QString path = stem;
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = stem + u'-' + QString::number(n);
    QSaveFile file(path);
    const bool written = QDir().mkpath(folder) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size() && file.commit();
    if (!written) {
        qCWarning(lcLastFm).noquote()
            << u"cannot set the scrobble queue aside in %1: it is left in the settings unchanged"_s
                   .arg(folder);
        return false;
    }
    m_defaults.remove(SettingsKeys::lastfmScrobbleQueue);
    qCWarning(lcLastFm).noquote() << "the scrobble queue was set aside as" << path;
    return true;
}

QByteArray ScrobbleQueue::encode(const QList<QueuedScrobble> &entries)
{
    QJsonArray array;
    for (const QueuedScrobble &entry : entries) {
        array.append(QJsonObject { { u"artist"_s, entry.artist },
                                   { u"track"_s, entry.track },
                                   { u"album"_s, entry.album },
                                   { u"duration"_s, double(entry.duration) },
                                   { u"timestamp"_s, double(entry.timestamp) } });
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<QueuedScrobble>> ScrobbleQueue::decode(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    const QJsonArray array = document.array();
    QList<QueuedScrobble> entries;
    entries.reserve(array.size());
    for (const QJsonValue &value : array) {
        if (!value.isObject())
            return std::nullopt;
        const QJsonObject object = value.toObject();
        const QJsonValue artist = object.value(u"artist"_s);
        const QJsonValue track = object.value(u"track"_s);
        const QJsonValue album = object.value(u"album"_s);
        const std::optional<qint64> duration = integerFrom(object.value(u"duration"_s));
        const std::optional<qint64> timestamp = integerFrom(object.value(u"timestamp"_s));
        // An album left out reads as unknown; everything else must be there.
        if (!artist.isString() || !track.isString() || !(album.isString() || album.isUndefined())
            || !duration || !timestamp)
            return std::nullopt;
        entries.append(
            { artist.toString(), track.toString(), album.toString(), *duration, *timestamp });
    }
    return entries;
}

qsizetype ScrobbleQueue::deliveredPrefix(const QList<QueuedScrobble> &queue,
                                         const QList<QueuedScrobble> &batch)
{
    for (qsizetype skipped = 0; skipped < batch.size(); ++skipped) {
        const qsizetype length = batch.size() - skipped;
        if (queue.size() >= length
            && std::equal(queue.cbegin(), queue.cbegin() + length, batch.cbegin() + skipped))
            return length;
    }
    return 0;
}
