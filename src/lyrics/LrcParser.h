#pragma once

#include "models/LyricLine.h"

#include <QList>
#include <QStringView>

#include <optional>

// Reading lyrics texts into lines. Pure functions: no state, no I/O.
namespace Lrc {

// The timed lines of an LRC text, sorted by time (lines with equal times keep their order).
//
// A line starts with one or more time tags, [mm:ss], [mm:ss.x], [mm:ss.xx] or [mm:ss.xxx]
// (minutes may pass 59; a colon may stand for the dot), and each tag gives the text after the
// last one a line of its own. Word-timing tags <mm:ss.xx> inside the text are removed. An
// [offset:±ms] tag moves every line, a positive value earlier, never before 0; other metadata
// tags, blank lines and lines without a time tag are dropped. Line ends may be LF, CRLF or CR;
// a byte-order mark at the start is ignored.
QList<LyricLine> parse(QStringView text);

// The lines of untimed lyrics, each with its index as its time, blank lines at both ends
// removed (the remaining lines keep their indexes).
QList<LyricLine> plainLines(QStringView text);

// Removes lines with empty text from the start and the end; empty lines in between stay.
QList<LyricLine> trimBlankEnds(QList<LyricLine> lines);

// The index of the line to highlight at a playback position: the last line that has started,
// and the first line before any has. 0 when there are no lines.
qsizetype lineIndexAt(const QList<LyricLine> &lines, double seconds);

// The time in seconds of a tag body such as "01:23.45" (the text between the brackets); none
// when it is not a time.
std::optional<double> parseTime(QStringView tag);

} // namespace Lrc
