#include "lyrics/LrcParser.h"

#include <QSet>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

namespace {
// "<seconds> <text>" per line, joined by "|".
QString timed(const QList<LyricLine> &lines)
{
    QStringList out;
    for (const LyricLine &line : lines)
        out.append(QString::number(line.time) + u' ' + line.text);
    return out.join(u'|');
}
} // namespace

class TestLrc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("tag forms") << u"[00:01]a\n[00:02.5] b\t\n[00:03.25]\tc  \n[1:2.5]d\n"
                                      "[00:12:34]e\n[61:00.00]f"_s
                                   << u"1 a|2.5 b|3.25 c|12.34 e|62.5 d|3660 f"_s;
        QTest::newRow("several tags on a line")
            << u"[00:12.00][01:30.00]Chorus\n[00:40.00] [02:00.00] Bridge"_s
            << u"12 Chorus|40 Bridge|90 Chorus|120 Bridge"_s;
        QTest::newRow("CRLF, CR, LF, byte-order mark")
            << u"\uFEFF[00:01.00]a\r\n[00:02.00]b\r[00:03.00]c\n\r\n[00:04.00]d"_s
            << u"1 a|2 b|3 c|4 d"_s;
        QTest::newRow("not lyrics") << u"[ar:Someone]\n[length: 03:20]\n\n  \nnot a lyric\n"
                                       "[00:05.00]real\n[xx:yy.zz]bad\n[-00:01.00]neg\n"
                                       "[00:12.]x\n[00:1x.00]x\n[:12.00]x\n[00:12.34.56]x\n[00:123."
                                       "00]x\n[12345:00.00]x\n[00: 12.00]x\n"
                                       "[\u0660\u0660:12.00]x\n[00:0"_s
                                    << u"5 real"_s;
        QTest::newRow("word tags") << u"[00:01.00]<00:01.00>Hello <00:01.50>world<00:02.00>\n"
                                      "[00:03.00]Say <00:03.20> it\n[00:05.00]I <3 you"_s
                                   << u"1 Hello world|3 Say it|5 I <3 you"_s;
        QTest::newRow("sorted, equal times keep their order")
            << u"[00:30.00]c\n[00:10.00]a\n[00:20.00]b1\n[00:20.00]b2\n[00:25.00]"_s
            << u"10 a|20 b1|20 b2|25 |30 c"_s;
        QTest::newRow("text before the tag") << u"note [00:12.00]sung"_s << u"12 sung"_s;
        QTest::newRow("offset, never before 0")
            << u"[offset:+1500]\n[00:01.00]a\n[00:10.00]b"_s << u"0 a|8.5 b"_s;
        QTest::newRow("offset at the end") << u"[00:01.00]a\n[OFFSET: -250]"_s << u"1.25 a"_s;
        QTest::newRow("absurd offset") << u"[offset:99999999999]\n[00:01.00]a"_s << u"1 a"_s;
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(timed(Lrc::parse(text)), expected);
    }

    void everyLineHasItsOwnId()
    {
        QSet<QUuid> ids;
        for (const LyricLine &line : Lrc::parse(u"[00:01.00][00:02.00]same\n[00:03.00]same"_s))
            ids.insert(line.id);
        QCOMPARE(ids.size(), 3);
        QVERIFY(!ids.contains(QUuid()));
    }

    // Lines of brackets must not cost quadratic time; a slip makes this run for minutes.
    void hostileLinesStayCheap()
    {
        const qsizetype size = 1'000'000;
        const QString text = QString(size, u'[') + u"]\n"_s + QString(size, u'<') + u">\n"_s
            + u"[00:01.00]"_s + QString(size, u'<') + u"00:01.00>"_s;
        const QList<LyricLine> lines = Lrc::parse(text);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().text.size(), size - 1);
    }

    void plainLyrics()
    {
        // Blank ends go, an inner blank line stays, and each line's index is its time.
        QCOMPARE(timed(Lrc::plainLines(u"\n\nA\n\nB\n\n")), u"2 A|3 |4 B"_s);
        QCOMPARE(timed(Lrc::plainLines(u"\uFEFF  One\t\r\n[00:01.00] a\r\n")),
                 u"0 One|1 [00:01.00] a"_s);
        QCOMPARE(timed(Lrc::plainLines(u"\n \n\t\n")), QString());
    }

    void lineIndexAt()
    {
        QList<LyricLine> lines;
        for (const double time : { 5, 10, 10, 15 })
            lines.append(LyricLine::make(time, u"line"_s));
        QCOMPARE(Lrc::lineIndexAt(lines, 0), 0);
        // Lines at the same time: the last of them is current.
        QCOMPARE(Lrc::lineIndexAt(lines, 10), 2);
        QCOMPARE(Lrc::lineIndexAt(lines, 14.99), 2);
        QCOMPARE(Lrc::lineIndexAt(lines, 100), 3);
        QCOMPARE(Lrc::lineIndexAt(lines, std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(Lrc::lineIndexAt(lines, std::numeric_limits<double>::infinity()), 3);
        QCOMPARE(Lrc::lineIndexAt({}, 12), 0);
    }
};

QTEST_GUILESS_MAIN(TestLrc)
#include "test_lrc.moc"
