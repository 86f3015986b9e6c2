#pragma once

#include "models/NowPlayingInfo.h"
#include "models/Source.h"
#include "models/SourceListItem.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// What the mini player shows, worked out from the aggregator's record: pure functions, so that
// every rule the view follows is tested without a widget.
namespace PlayerPresentation {

// "<title>|<artist>": a change of it is a track change (the album alone is not).
QString trackKey(const NowPlayingInfo &info);
// The locked source, else the record's own, else Unknown.
Source currentSource(const NowPlayingInfo &info, const std::optional<Source> &locked);
// Elapsed over duration, 0…1; 0 without a duration.
double progress(double elapsed, double duration);
// "m:ss"; minutes are not wrapped into hours (3725 s is "62:05"). Anything not above 0, and
// what is not a finite number, is "0:00".
QString formatTime(double seconds);
// Where a press at x falls on a bar of that width, 0…1; 0 when the bar has no width.
double seekFraction(double x, double width);

// Whether the like control works for the record's source: it must offer like, and Spotify only
// with the user's own client ID.
bool likeSupported(const NowPlayingInfo &info, bool spotifyClientIdSet);
// The like glyph of a source: star, thumbs-up or heart, "-fill" appended when liked.
QString likeIcon(const NowPlayingInfo &info, bool liked);
// The repeat glyph: "repeat-one" for repeat one, else "repeat".
QString repeatIcon(int repeatMode);

enum class Artwork {
    Image, // the record's artwork
    NoSource, // nothing plays and nothing could: the headphones and "Start Listening"
    Placeholder, // a grey card with the source's glyph
};
Artwork artwork(const NowPlayingInfo &info, bool anySourceAvailable);
// The glyph on the placeholder card: the desktop player's, the browser's or a note.
QString placeholderIcon(const Source &source);
// The source badge is shown once there is a track or a source to choose.
bool showsSourceBadge(const NowPlayingInfo &info, bool anySourceAvailable);

// A source menu row: the name, then the note in parentheses: after a space in the tray's menu,
// straight after the name in the player's own menu.
enum class MenuStyle { Tray, Player };
QString sourceItemLabel(const SourceListItem &item, MenuStyle style);
// The page a click on the cover opens for a web source: the player's home page, or the site of
// a generic one; none for a desktop source.
std::optional<QUrl> webPageOf(const Source &source);
// "Learn Controls…" is offered for a site the catalogue does not know.
bool canLearnControls(const Source &source);

} // namespace PlayerPresentation
