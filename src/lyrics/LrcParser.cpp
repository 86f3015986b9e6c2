#include "lyrics/LrcParser.h"

#include <QString>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
// An offset beyond an hour is no correction anyone meant; it is ignored.
constexpr qint64 kMaxOffsetMs = 60 * 60 * 1000;
constexpr QChar kByteOrderMark = QChar(0xFEFF);
// "mmmm:ss.ffffff", the longest time tag read.
constexpr qsizetype kMaxTimeTagLength = 14;

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QStringView trimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// Calls take(piece) for every line of the text; LF, CRLF and a lone CR all end a line.
template<typename Take> void forEachLine(QStringView text, Take take)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\n' && c != u'\r')
            continue;
        take(text.sliced(start, i - start));
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    take(text.sliced(start));
}

// Reads 1 to maxDigits decimal digits at pos; none when there are none or too many.
std::optional<qint64> readDigits(QStringView text, qsizetype &pos, int maxDigits)
{
    qint64 value = 0;
    int count = 0;
    while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') {
        if (++count > maxDigits)
            return std::nullopt;
        value = value * 10 + (text[pos].unicode() - u'0');
        ++pos;
    }
    if (count == 0)
        return std::nullopt;
    return value;
}

// The bracketed tag starting at `open` ('[' or '<'), as its body and the index after it. Only
// a time tag's length is looked through, so that a line of brackets costs linear time.
std::optional<std::pair<QStringView, qsizetype>> tagAt(QStringView text, qsizetype open,
                                                       QChar close)
{
    const qsizetype limit = std::min(text.size(), open + 1 + kMaxTimeTagLength + 1);
    for (qsizetype end = open + 1; end < limit; ++end) {
        if (text[end] == close)
            return std::pair { text.sliced(open + 1, end - open - 1), end + 1 };
    }
    return std::nullopt;
}

// "[offset:+250]" as milliseconds; none when the piece is not a usable offset tag.
std::optional<qint64> offsetTag(QStringView piece)
{
    if (!piece.startsWith(u"[offset:"_s, Qt::CaseInsensitive) || !piece.endsWith(u']'))
        return std::nullopt;
    const QStringView value = piece.sliced(8, piece.size() - 9).trimmed();
    bool ok = false;
    const qint64 milliseconds = value.toLongLong(&ok);
    if (!ok || milliseconds < -kMaxOffsetMs || milliseconds > kMaxOffsetMs)
        return std::nullopt;
    return milliseconds;
}

// Removes word-timing tags (<mm:ss.xx>). Where a tag stood between two spaces, one of them goes
// with it.
QString withoutWordTags(QStringView text)
{
    if (!text.contains(u'<'))
        return text.toString();
    QString out;
    out.reserve(text.size());
    qsizetype kept = 0; // start of the text not yet copied
    qsizetype i = text.indexOf(u'<');
    while (i >= 0) {
        const auto tag = tagAt(text, i, u'>');
        if (!tag || !Lrc::parseTime(tag->first)) {
            i = text.indexOf(u'<', i + 1);
            continue;
        }
        out.append(text.sliced(kept, i - kept));
        kept = tag->second;
        if (out.isEmpty() || isBlank(out.back())) {
            while (kept < text.size() && isBlank(text[kept]))
                ++kept;
        }
        i = text.indexOf(u'<', kept);
    }
    out.append(text.sliced(kept));
    return out;
}
} // namespace

namespace Lrc {

std::optional<double> parseTime(QStringView tag)
{
    qsizetype pos = 0;
    const std::optional<qint64> minutes = readDigits(tag, pos, 4);
    if (!minutes || pos >= tag.size() || tag[pos] != u':')
        return std::nullopt;
    ++pos;
    const std::optional<qint64> seconds = readDigits(tag, pos, 2);
    if (!seconds)
        return std::nullopt;
    double time = double(*minutes) * 60 + double(*seconds);
    if (pos < tag.size() && (tag[pos] == u'.' || tag[pos] == u':')) {
        ++pos;
        const qsizetype fractionStart = pos;
        const std::optional<qint64> fraction = readDigits(tag, pos, 6);
        if (!fraction)
            return std::nullopt;
        static constexpr double kScale[] = { 1, 10, 100, 1e3, 1e4, 1e5, 1e6 };
        time += double(*fraction) / kScale[pos - fractionStart];
    }
    if (pos != tag.size())
        return std::nullopt;
    return time;
}

QList<LyricLine> parse(QStringView text)
{
    if (text.startsWith(kByteOrderMark))
        text = text.sliced(1);

    QList<LyricLine> lines;
    std::optional<qint64> offsetMs;
    QList<double> times;
    forEachLine(text, [&](QStringView raw) {
        const QStringView piece = trimBlanks(raw);
        if (piece.isEmpty())
            return;
        if (!offsetMs) {
            if ((offsetMs = offsetTag(piece)))
                return;
        }

        // The first time tag may follow other text; what stands before it is not lyrics.
        times.clear();
        qsizetype textStart = -1;
        for (qsizetype open = piece.indexOf(u'['); open >= 0;
             open = piece.indexOf(u'[', open + 1)) {
            const auto tag = tagAt(piece, open, u']');
            if (!tag)
                continue;
            if (const std::optional<double> time = parseTime(tag->first)) {
                times.append(*time);
                textStart = tag->second;
                break;
            }
        }
        if (textStart < 0)
            return;

        // Tags that follow directly repeat the same words at other times (a chorus).
        while (true) {
            qsizetype next = textStart;
            while (next < piece.size() && isBlank(piece[next]))
                ++next;
            if (next >= piece.size() || piece[next] != u'[')
                break;
            const auto tag = tagAt(piece, next, u']');
            const std::optional<double> time = tag ? parseTime(tag->first) : std::nullopt;
            if (!time)
                break;
            times.append(*time);
            textStart = tag->second;
        }

        const QString words = withoutWordTags(piece.sliced(textStart));
        const QString trimmed = trimBlanks(words).toString();
        for (const double time : std::as_const(times))
            lines.append(LyricLine::make(time, trimmed));
    });

    if (offsetMs && *offsetMs != 0) {
        const double shift = double(*offsetMs) / 1000.0;
        for (LyricLine &line : lines)
            line.time = std::max(0.0, line.time - shift);
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const LyricLine &a, const LyricLine &b) { return a.time < b.time; });
    return lines;
}

QList<LyricLine> plainLines(QStringView text)
{
    if (text.startsWith(kByteOrderMark))
        text = text.sliced(1);
    QList<LyricLine> lines;
    forEachLine(text, [&lines](QStringView piece) {
        lines.append(LyricLine::make(double(lines.size()), trimBlanks(piece).toString()));
    });
    return trimBlankEnds(std::move(lines));
}

QList<LyricLine> trimBlankEnds(QList<LyricLine> lines)
{
    const auto hasText = [](const LyricLine &line) { return !line.text.isEmpty(); };
    const auto first = std::find_if(lines.cbegin(), lines.cend(), hasText);
    if (first == lines.cend())
        return {};
    const auto last = std::find_if(lines.crbegin(), lines.crend(), hasText);
    const qsizetype begin = first - lines.cbegin();
    const qsizetype end = lines.size() - (last - lines.crbegin());
    return lines.sliced(begin, end - begin);
}

qsizetype lineIndexAt(const QList<LyricLine> &lines, double seconds)
{
    qsizetype current = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        // Written so that a position that is not a number selects the first line.
        if (!(lines.at(i).time <= seconds))
            break;
        current = i;
    }
    return current;
}

} // namespace Lrc
