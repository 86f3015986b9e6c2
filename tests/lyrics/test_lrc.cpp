#include "lyrics/LrcParser.h"

#include <QSet>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

namespace {
// "<seconds> <text>" per line, joined by "|"; six significant digits are finer than any tag.
QString timed(const QList<LyricLine> &lines)
{
    QStringList out;
    for (const LyricLine &line : lines)
        out.append(QString::number(line.time) + u' ' + line.text);
    return out.join(u'|');
}

QList<LyricLine> at(const QList<double> &times)
{
    QList<LyricLine> lines;
    for (const double time : times)
        lines.append(LyricLine::make(time, u"line"_s));
    return lines;
}
} // namespace

class TestLrc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The tag forms themselves are read in parse(); these are the odd ones and the refusals.
    void timeTags()
    {
        QVERIFY(qFuzzyCompare(Lrc::parseTime(u"1:2.5").value_or(0), 62.5));
        QVERIFY(qFuzzyCompare(Lrc::parseTime(u"00:12:34").value_or(0), 12.34));
        for (const QString &tag : { u"ar:Someone"_s, u"00:1x.00"_s, u"-00:01.00"_s, u"00:12."_s,
                                    u":12.00"_s, u"00:12.34.56"_s, u"00:123.00"_s, u"12345:00.00"_s,
                                    u"00: 12.00"_s, u"\u0660\u0660:12.00"_s, QString() }) {
            QVERIFY2(!Lrc::parseTime(tag), qPrintable(tag));
        }
    }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        QTest::newRow("space after the tag")
            << u"[00:17.12] I feel the rain\t\n[00:20.50]\tand the sun  "_s
            << u"17.12 I feel the rain|20.5 and the sun"_s;
        QTest::newRow("every tag of a line gets the words")
            << u"[00:12.00][01:30.00]Chorus\n[00:20.00]Verse\n[00:40.00] [02:00.00] Bridge"_s
            << u"12 Chorus|20 Verse|40 Bridge|90 Chorus|120 Bridge"_s;
        QTest::newRow("tag forms mixed")
            << u"[00:01]one\n[00:02.5]two\n[00:03.25]three\n[00:04.125]four\n[61:00.00]late"_s
            << u"1 one|2.5 two|3.25 three|4.125 four|3660 late"_s;
        QTest::newRow("CRLF, CR and LF line ends, byte-order mark")
            << u"\uFEFF[00:01.00]a\r\n[00:02.00]b\r[00:03.00]c\n\r\n[00:04.00]d"_s
            << u"1 a|2 b|3 c|4 d"_s;
        QTest::newRow("metadata, blank and garbage lines dropped")
            << u"[ar:Someone]\n[ti:Song]\n[length: 03:20]\n\n   \nnot a lyric\n[00:05.00]real\n"
               "[xx:yy.zz]bad\n[00:0"_s
            << u"5 real"_s;
        QTest::newRow("word timing removed")
            << u"[00:01.00]<00:01.00>Hello <00:01.50>world<00:02.00>\n"
               "[00:03.00]Say <00:03.20> it <00:03.40>again\n[00:05.00]I <3 you"_s
            << u"1 Hello world|3 Say it again|5 I <3 you"_s;
        QTest::newRow("out of order sorted, equal times keep their order")
            << u"[00:30.00]third\n[00:10.00]first\n[00:20.00]second a\n[00:20.00]second b"_s
            << u"10 first|20 second a|20 second b|30 third"_s;
        QTest::newRow("an empty timed line is a pause")
            << u"[00:10.00]words\n[00:30.00]\n[00:40.00]more"_s << u"10 words|30 |40 more"_s;
        // The tag need not open the line; what stands before it is not sung.
        QTest::newRow("text before the tag") << u"note [00:12.00]sung"_s << u"12 sung"_s;
        QTest::newRow("positive offset shows lines earlier, never before 0")
            << u"[offset:+1500]\n[00:01.00]a\n[00:10.00]b"_s << u"0 a|8.5 b"_s;
        QTest::newRow("negative offset at the end of the file")
            << u"[00:01.00]a\n[00:10.00]b\n[OFFSET: -250]"_s << u"1.25 a|10.25 b"_s;
        QTest::newRow("absurd offset ignored")
            << u"[offset:99999999999]\n[00:01.00]a"_s << u"1 a"_s;
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(timed(Lrc::parse(text)), expected);
    }

    void everyLineHasItsOwnId()
    {
        const QList<LyricLine> lines = Lrc::parse(u"[00:01.00][00:02.00]same\n[00:03.00]same"_s);
        QSet<QUuid> ids;
        for (const LyricLine &line : lines)
            ids.insert(line.id);
        QCOMPARE(ids.size(), 3);
        QVERIFY(!ids.contains(QUuid()));
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

    void plainLyrics()
    {
        // Blank ends go, an inner blank line stays, and every line keeps its index as its time.
        QCOMPARE(timed(Lrc::plainLines(u"\n\nA\n\nB\n\n")), u"2 A|3 |4 B"_s);
        QCOMPARE(timed(Lrc::plainLines(u"  One\t\r\nTwo\r\n")), u"0 One|1 Two"_s);
        QCOMPARE(timed(Lrc::plainLines(u"\n \n\t\n")), QString());
        QCOMPARE(timed(Lrc::plainLines(u"[00:01.00] a")), u"0 [00:01.00] a"_s);
    }

    void lineIndexAt()
    {
        const QList<LyricLine> lines = at({ 5, 10, 15 });
        QCOMPARE(Lrc::lineIndexAt(lines, 0), 0);
        QCOMPARE(Lrc::lineIndexAt(lines, 10), 1);
        QCOMPARE(Lrc::lineIndexAt(lines, 14.99), 1);
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
