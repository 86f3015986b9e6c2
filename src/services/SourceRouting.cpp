#include "services/SourceRouting.h"

#include <QCollator>
#include <QCoreApplication>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace SourceRouting {

MusicApp shownSource(const NowPlayingInfo &info)
{
    return MusicApp::fromRawValue(info.bundleID).value_or(MusicApp::Unknown);
}

QString trackKey(const QString &title, const QString &artist) { return title + u'|' + artist; }

Verdict admit(const std::optional<MusicApp> &lock, const QString &incomingBundleID,
              bool incomingPlaying, const NowPlayingInfo &shown)
{
    const std::optional<MusicApp> incoming = MusicApp::fromRawValue(incomingBundleID);
    if (lock) {
        if (!incoming || incoming->rawValue() != lock->rawValue())
            return Verdict::RejectedByLock;
        return Verdict::Accepted;
    }
    if (!incomingPlaying && !shown.title.isEmpty()
        && shownSource(shown) != incoming.value_or(MusicApp::Unknown)) {
        return Verdict::RejectedPaused;
    }
    return Verdict::Accepted;
}

WebVerdict admitWeb(const std::optional<MusicApp> &lock, const std::optional<WebPlayerState> &state,
                    const NowPlayingInfo &shown)
{
    if (lock && lock->isNativeSource())
        return WebVerdict::RejectedByNativeLock;
    if (!state || state->title.isEmpty())
        return WebVerdict::Missing;
    const MusicApp incoming = MusicApp::fromBridgeSource(state->source).value_or(MusicApp::Unknown);
    if (lock && *lock != incoming)
        return WebVerdict::RejectedByWebLock;
    if (!state->isPlaying && shown.isPlaying && shownSource(shown) != incoming)
        return WebVerdict::RejectedPaused;
    return WebVerdict::Accepted;
}

int nextRepeatMode(const MusicApp &source, int mode)
{
    if (source == MusicApp::Spotify)
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

QList<SourceListItem> sourceList(const QSet<QString> &runningBundleIDs, bool bridgeConnected,
                                 const QList<MusicApp> &definedSources,
                                 const QSet<MusicApp> &openSources)
{
    QList<SourceListItem> items;
    const QString notRunning = QCoreApplication::translate("SourceList", "Not Running");
    const QString notOpen = QCoreApplication::translate("SourceList", "Not Open");
    for (const MusicApp &desktop :
         { MusicApp(MusicApp::Spotify), MusicApp(MusicApp::AppleMusic) }) {
        const bool running = runningBundleIDs.contains(desktop.rawValue());
        items.append({ desktop, running, running ? std::nullopt : std::optional(notRunning) });
    }
    if (!bridgeConnected)
        return items;

    for (const MusicApp &source : definedSources) {
        if (source.kind() == MusicApp::Generic)
            continue;
        const bool open = openSources.contains(source);
        items.append({ source, open, open ? std::nullopt : std::optional(notOpen) });
    }

    QList<MusicApp> generics;
    for (const MusicApp &source : openSources) {
        if (source.kind() == MusicApp::Generic)
            generics.append(source);
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(generics.begin(), generics.end(), [&collator](const MusicApp &a, const MusicApp &b) {
        const int order = collator.compare(a.displayName(), b.displayName());
        // Equal names still need a stable order between runs.
        return order != 0 ? order < 0 : a.rawValue() < b.rawValue();
    });
    for (const MusicApp &source : generics)
        items.append({ source, true, std::nullopt });
    return items;
}

} // namespace SourceRouting
