#include "nowplaying/SourceRouting.h"

#include <QCollator>
#include <QCoreApplication>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace SourceRouting {

Source shownSource(const NowPlayingInfo &info)
{
    return Source::fromRawValue(info.sourceId).value_or(Source::Unknown);
}

QString trackKey(const QString &title, const QString &artist) { return title + u'|' + artist; }

Verdict admit(const std::optional<Source> &lock, const QString &incomingSourceId,
              bool incomingPlaying, const NowPlayingInfo &shown)
{
    const std::optional<Source> incoming = Source::fromRawValue(incomingSourceId);
    if (lock) {
        if (!incoming || incoming->rawValue() != lock->rawValue())
            return Verdict::RejectedByLock;
        return Verdict::Accepted;
    }
    if (!incomingPlaying && !shown.title.isEmpty()
        && shownSource(shown) != incoming.value_or(Source::Unknown)) {
        return Verdict::RejectedPaused;
    }
    return Verdict::Accepted;
}

WebVerdict admitWeb(const std::optional<Source> &lock, const std::optional<WebPlayerState> &state,
                    const NowPlayingInfo &shown)
{
    if (lock && lock->isDesktopSource())
        return WebVerdict::RejectedByNativeLock;
    if (!state || state->title.isEmpty())
        return WebVerdict::Missing;
    const Source incoming = Source::fromBridgeSource(state->source).value_or(Source::Unknown);
    if (lock && *lock != incoming)
        return WebVerdict::RejectedByWebLock;
    if (!state->isPlaying && shown.isPlaying && shownSource(shown) != incoming)
        return WebVerdict::RejectedPaused;
    return WebVerdict::Accepted;
}

int nextRepeatMode(const Source &source, int mode)
{
    if (source == Source::Spotify)
        return mode == RepeatMode::Off ? RepeatMode::All : RepeatMode::Off;
    switch (mode) {
    case RepeatMode::Off:
        return RepeatMode::All;
    case RepeatMode::All:
        return RepeatMode::One;
    default:
        return RepeatMode::Off;
    }
}

QList<SourceListItem> sourceList(const QSet<QString> &runningSourceIds, bool bridgeConnected,
                                 const QList<Source> &definedSources,
                                 const QSet<Source> &openSources, const WebSites &sites)
{
    QList<SourceListItem> items;
    const QString notRunning = QCoreApplication::translate("SourceList", "Not Running");
    const QString notOpen = QCoreApplication::translate("SourceList", "Not Open");
    for (const Source &desktop : { Source(Source::Spotify), Source(Source::AppleMusic) }) {
        const bool running = runningSourceIds.contains(desktop.rawValue());
        items.append({ desktop, running, running ? std::nullopt : std::optional(notRunning) });
    }
    if (!bridgeConnected)
        return items;

    for (const Source &source : definedSources) {
        if (source.kind() == Source::Generic)
            continue;
        const bool open = openSources.contains(source);
        items.append({ source, open, open ? std::nullopt : std::optional(notOpen) });
    }

    QList<Source> generics;
    for (const Source &source : openSources) {
        if (source.kind() == Source::Generic)
            generics.append(source);
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(generics.begin(), generics.end(), [&](const Source &a, const Source &b) {
        const int order = collator.compare(sites.displayName(a), sites.displayName(b));
        // Equal names still need a stable order between runs.
        return order != 0 ? order < 0 : a.rawValue() < b.rawValue();
    });
    for (const Source &source : generics)
        items.append({ source, true, std::nullopt });
    return items;
}

} // namespace SourceRouting
