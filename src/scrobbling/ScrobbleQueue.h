#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class SettingsStore;

// One scrobble waiting to be delivered. Times are whole seconds.
struct QueuedScrobble
{
    QString artist;
    QString track;
    QString album; // empty when unknown
    qint64 duration = 0; // 0 when unknown
    qint64 timestamp = 0; // start of the play, seconds since 1970 UTC

    friend bool operator==(const QueuedScrobble &, const QueuedScrobble &) = default;
};

// The offline scrobble queue, oldest first, kept in the settings under "lastfmScrobbleQueue" as
// the UTF-8 JSON text of an array of {artist, track, album, duration, timestamp}. Nothing is
// held in memory: every read decodes the stored value and every change stores it at once, so a
// crash between two changes loses nothing.
//
// A stored value that cannot be read is never written over: it is first copied to a file beside
// the settings ("lastfmScrobbleQueue.json.damaged-<time>") and only then replaced. When even
// that copy fails, the queue is left alone and changes are refused.
class ScrobbleQueue
{
public:
    static constexpr qsizetype kMaxEntries = 500;

    explicit ScrobbleQueue(SettingsStore &defaults);

    QList<QueuedScrobble> entries();
    // Appends and stores, keeping the newest kMaxEntries; the new length, or none when the
    // queue could not be changed.
    std::optional<qsizetype> append(const QueuedScrobble &entry);
    // Removes a delivered batch from the front; entries that arrived meanwhile stay. The
    // remaining length.
    qsizetype removeDelivered(const QList<QueuedScrobble> &batch);
    void clear();
    // Replaces the whole queue (keeping the newest kMaxEntries); false when refused.
    bool store(const QList<QueuedScrobble> &entries);

    // Copies the stored queue to a file named with the label beside the settings and removes
    // it from the settings; false (and nothing removed) when the copy cannot be written.
    bool setAside(const QString &label);

    static QByteArray encode(const QList<QueuedScrobble> &entries);
    // None unless the text is an array of complete entries.
    static std::optional<QList<QueuedScrobble>> decode(const QByteArray &json);
    // How many entries at the front of the queue are the tail of the batch that was sent:
    // entries of the batch may already have left the front (trimmed at the cap, or the queue
    // emptied), and entries appended meanwhile must not be taken for delivered ones.
    static qsizetype deliveredPrefix(const QList<QueuedScrobble> &queue,
                                     const QList<QueuedScrobble> &batch);

private:
    // The stored queue, or none when it is unreadable and could not be set aside.
    std::optional<QList<QueuedScrobble>> load();
    void write(QList<QueuedScrobble> entries);

    SettingsStore &m_defaults;
};
