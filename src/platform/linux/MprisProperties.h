#pragma once

#include "platform/DesktopPlayers.h"

#include <QDBusObjectPath>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Reading the properties of an MPRIS 2 player. Players disagree on types (Spotify's client sends
// Position as a 32-bit integer and its track ID as a string in some versions), so every reader
// here takes what it can use and ignores the rest instead of trusting the introspection data.
// The functions work on values that went through plainValue() once, when they arrived.
namespace MprisProperties {

// Unwraps variants and turns QtDBus's containers (a{sv}, as, av) into QVariantMap, QStringList
// and QVariantList. Other containers become an invalid QVariant. A QDBusArgument can be read
// only once, so values are made plain as soon as they arrive and are kept that way.
QVariant plainValue(const QVariant &value);
// The map inside a value, or an empty map when it holds something else.
QVariantMap plainMap(const QVariant &value);

// A time in microseconds of any numeric D-Bus type, in seconds: negative times are 0 and absurd
// ones are capped at maxSeconds(); none for a value that is not a finite number.
std::optional<double> microsecondsToSeconds(const QVariant &value);
inline constexpr double maxSeconds() { return 7 * 24 * 3600.0; }

// A string value cut to maxTextLength() characters; "" for any other type.
QString text(const QVariant &value);
inline constexpr qsizetype maxTextLength() { return 1024; }
// xesam:artist: a list of names joined with ", ", or a single string.
QString artists(const QVariant &value);

// What the player plays, with its shuffle and repeat: a track only while the player plays or
// pauses one with a title, else the empty snapshot.
RawNowPlaying snapshot(const QVariantMap &properties);
// What the player announces: any PlaybackStatus but Playing and Paused counts as stopped.
PlayerReading reading(const QVariantMap &properties);

// The last piece of mpris:trackid after ":" or "/", in any of the shapes players send; none
// when there is no ID or the piece is empty.
std::optional<QString> trackID(const QVariantMap &metadata);
// mpris:trackid when it can address SetPosition: a valid object path, not the "no track" path.
std::optional<QDBusObjectPath> trackObjectPath(const QVariantMap &metadata);
// mpris:artUrl, with Spotify's open.spotify.com image pages replaced by the image host that
// serves the same picture.
std::optional<QString> artworkURL(const QVariantMap &metadata);

// Shuffle and LoopStatus as Vesper codes them.
bool shuffle(const QVariant &value);
int repeatMode(const QVariant &loopStatus);
QString loopStatus(int repeatMode);

} // namespace MprisProperties
