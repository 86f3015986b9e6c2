#include "services/LrcParser.h"

#include <QSet>
#include <QTest>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {
using Timed = QList<std::pair<double, QString>>;

Timed timed(const QList<LyricLine> &lines)
{
    Timed out;
    for (const LyricLine &line : lines)
        out.append({ line.time, line.text });
    return out;
}

// Compares times to the millisecond: tags are read as decimal fractions.
bool sameLines(const Timed &actual, const Timed &expected)
{
    if (actual.size() != expected.size())
        return false;
    for (qsizetype i = 0; i < actual.size(); ++i) {
        if (std::abs(actual.at(i).first - expected.at(i).first) > 1e-6
            || actual.at(i).second != expected.at(i).second)
            return false;
    }
    return true;
}

QString describe(const Timed &lines)
{
    QStringList parts;
    for (const auto &[time, text] : lines)
        parts.append(QString::number(time) + u"=\""_s + text + u'"');
    return parts.join(u", "_s);
}

QList<LyricLine> at(const QList<double> &times)
{
    QList<LyricLine> lines;
    for (const double time : times)
        lines.append(LyricLine::make(time, u"line"_s));
    return lines;
}
} // namespace

Q_DECLARE_METATYPE(Timed)

class TestLrc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void timeTags_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<double>("seconds"); // negative: not a time

        QTest::newRow("hundredths") << u"00:12.34"_s << 12.34;
        QTest::newRow("no fraction") << u"00:12"_s << 12.0;
        QTest::newRow("tenths") << u"00:12.3"_s << 12.3;
        QTest::newRow("milliseconds") << u"00:12.345"_s << 12.345;
        QTest::newRow("one-digit minutes and seconds") << u"1:2.5"_s << 62.5;
        QTest::newRow("minutes above 59") << u"75:00.00"_s << 4500.0;
        QTest::newRow("colon before the fraction") << u"00:12:34"_s << 12.34;
        QTest::newRow("metadata") << u"ar:Someone"_s << -1.0;
        QTest::newRow("offset") << u"offset:500"_s << -1.0;
        QTest::newRow("letters in the seconds") << u"00:1x.00"_s << -1.0;
        QTest::newRow("negative") << u"-00:01.00"_s << -1.0;
        QTest::newRow("dot without fraction") << u"00:12."_s << -1.0;
        QTest::newRow("no minutes") << u":12.00"_s << -1.0;
        QTest::newRow("two fractions") << u"00:12.34.56"_s << -1.0;
        QTest::newRow("three-digit seconds") << u"00:123.00"_s << -1.0;
        QTest::newRow("five-digit minutes") << u"12345:00.00"_s << -1.0;
        QTest::newRow("blank inside") << u"00: 12.00"_s << -1.0;
        QTest::newRow("non-ASCII digits") << u"\u0660\u0660:12.00"_s << -1.0;
        QTest::newRow("empty") << QString() << -1.0;
    }

    void timeTags()
    {
        QFETCH(QString, tag);
        QFETCH(double, seconds);
        const std::optional<double> time = Lrc::parseTime(tag);
        if (seconds < 0) {
            QVERIFY2(!time, qPrintable(u"read as "_s + QString::number(time.value_or(0))));
        } else {
            QVERIFY(time);
            QCOMPARE_LE(std::abs(*time - seconds), 1e-9);
        }
    }

    void realFiles_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Timed>("expected");

        QTest::newRow("space after the tag")
            << u"[00:17.12] I feel the rain\t\n[00:20.50]\tand the sun  "_s
            << Timed { { 17.12, u"I feel the rain"_s }, { 20.5, u"and the sun"_s } };
        QTest::newRow("every tag of a line gets the words")
            << u"[00:12.00][01:30.00]Chorus\n[00:20.00]Verse\n[00:40.00] [02:00.00] Bridge"_s
            << Timed { { 12, u"Chorus"_s },
                       { 20, u"Verse"_s },
                       { 40, u"Bridge"_s },
                       { 90, u"Chorus"_s },
                       { 120, u"Bridge"_s } };
        QTest::newRow("tag forms mixed")
            << u"[00:01]one\n[00:02.5]two\n[00:03.25]three\n[00:04.125]four\n[61:00.00]late"_s
            << Timed { { 1, u"one"_s },
                       { 2.5, u"two"_s },
                       { 3.25, u"three"_s },
                       { 4.125, u"four"_s },
                       { 3660, u"late"_s } };
        QTest::newRow("CRLF, CR and LF line ends")
            << u"[00:01.00]a\r\n[00:02.00]b\r[00:03.00]c\n\r\n[00:04.00]d"_s
            << Timed { { 1, u"a"_s }, { 2, u"b"_s }, { 3, u"c"_s }, { 4, u"d"_s } };
        QTest::newRow("byte-order mark") << u"\uFEFF[00:01.00]first\n[00:02.00]second"_s
                                         << Timed { { 1, u"first"_s }, { 2, u"second"_s } };
        QTest::newRow("metadata, blank and garbage lines dropped")
            << u"[ar:Someone]\n[ti:Song]\n[length: 03:20]\n\n   \nnot a lyric\n[00:05.00]real\n"
               "[xx:yy.zz]bad\n[00:0"_s
            << Timed { { 5, u"real"_s } };
        QTest::newRow("word timing removed")
            << u"[00:01.00]<00:01.00>Hello <00:01.50>world<00:02.00>\n"
               "[00:03.00]Say <00:03.20> it <00:03.40>again\n[00:05.00]I <3 you"_s
            << Timed { { 1, u"Hello world"_s }, { 3, u"Say it again"_s }, { 5, u"I <3 you"_s } };
        QTest::newRow("out of order sorted, equal times keep their order")
            << u"[00:30.00]third\n[00:10.00]first\n[00:20.00]second a\n[00:20.00]second b"_s
            << Timed { { 10, u"first"_s },
                       { 20, u"second a"_s },
                       { 20, u"second b"_s },
                       { 30, u"third"_s } };
        QTest::newRow("an empty timed line is a pause")
            << u"[00:10.00]words\n[00:30.00]\n[00:40.00]more"_s
            << Timed { { 10, u"words"_s }, { 30, QString() }, { 40, u"more"_s } };
        // The tag need not open the line; what stands before it is not sung.
        QTest::newRow("text before the tag")
            << u"note [00:12.00]sung"_s << Timed { { 12, u"sung"_s } };
        QTest::newRow("positive offset shows lines earlier, never before 0")
            << u"[offset:+1500]\n[00:01.00]a\n[00:10.00]b"_s
            << Timed { { 0, u"a"_s }, { 8.5, u"b"_s } };
        QTest::newRow("negative offset at the end of the file")
            << u"[00:01.00]a\n[00:10.00]b\n[OFFSET: -250]"_s
            << Timed { { 1.25, u"a"_s }, { 10.25, u"b"_s } };
        QTest::newRow("absurd offset ignored")
            << u"[offset:99999999999]\n[00:01.00]a"_s << Timed { { 1, u"a"_s } };
        QTest::newRow("nothing timed") << u"just words\nand more"_s << Timed {};
        QTest::newRow("empty") << QString() << Timed {};
    }

    void realFiles()
    {
        QFETCH(QString, text);
        QFETCH(Timed, expected);
        const Timed actual = timed(Lrc::parse(text));
        QVERIFY2(sameLines(actual, expected),
                 qPrintable(u"got "_s + describe(actual) + u"\nwanted "_s + describe(expected)));
    }

    void everyLineHasItsOwnId()
    {
        const QList<LyricLine> lines = Lrc::parse(u"[00:01.00][00:02.00]same\n[00:03.00]same"_s);
        QCOMPARE(lines.size(), 3);
        QSet<QUuid> ids;
        for (const LyricLine &line : lines) {
            QVERIFY(!line.id.isNull());
            ids.insert(line.id);
        }
        QCOMPARE(ids.size(), 3);
    }

    // Lines of brackets must not cost quadratic time; a slip makes this run for minutes.
    void hostileLinesStayCheap()
    {
        const qsizetype size = 1'000'000;
        QString text = QString(size, u'[') + u"]\n"_s + QString(size, u'<') + u">\n"_s;
        text += u"[00:01.00]"_s + QString(size, u'<') + u"00:01.00>"_s;
        const QList<LyricLine> lines = Lrc::parse(text);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().text.size(), size - 1);
    }

    void plainLyrics_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Timed>("expected");

        QTest::newRow("blank ends trimmed, inner blank kept, indexes kept")
            << u"\n\nA\n\nB\n\n"_s << Timed { { 2, u"A"_s }, { 3, QString() }, { 4, u"B"_s } };
        QTest::newRow("CRLF and blanks trimmed")
            << u"  One\t\r\nTwo\r\n"_s << Timed { { 0, u"One"_s }, { 1, u"Two"_s } };
        QTest::newRow("only blank lines") << u"\n \n\t\n"_s << Timed {};
        QTest::newRow("timed text read as words")
            << u"[00:01.00] a"_s << Timed { { 0, u"[00:01.00] a"_s } };
    }

    void plainLyrics()
    {
        QFETCH(QString, text);
        QFETCH(Timed, expected);
        const Timed actual = timed(Lrc::plainLines(text));
        QVERIFY2(sameLines(actual, expected),
                 qPrintable(u"got "_s + describe(actual) + u"\nwanted "_s + describe(expected)));
    }

    void lineIndexAt()
    {
        const QList<LyricLine> lines = at({ 5, 10, 15 });
        QCOMPARE(Lrc::lineIndexAt(lines, 0), 0);
        QCOMPARE(Lrc::lineIndexAt(lines, 5), 0);
        QCOMPARE(Lrc::lineIndexAt(lines, 10), 1);
        QCOMPARE(Lrc::lineIndexAt(lines, 14.99), 1);
        QCOMPARE(Lrc::lineIndexAt(lines, 15), 2);
        QCOMPARE(Lrc::lineIndexAt(lines, 100), 2);
        QCOMPARE(Lrc::lineIndexAt(lines, std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(Lrc::lineIndexAt(lines, std::numeric_limits<double>::infinity()), 2);
        QCOMPARE(Lrc::lineIndexAt({}, 12), 0);
        // Lines at the same time: the last of them is current.
        QCOMPARE(Lrc::lineIndexAt(at({ 5, 5, 9 }), 6), 1);
    }
};

QTEST_GUILESS_MAIN(TestLrc)
#include "test_lrc.moc"
