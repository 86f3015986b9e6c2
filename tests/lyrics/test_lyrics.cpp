#include "FakeLrclib.h"
#include "ServiceFixture.h"

#include "lyrics/LrcParser.h"
#include "lyrics/LyricsService.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(FakeHttpServer::Response)

namespace {
const double kUnknown = qQNaN();
const QString kSynced = u"[00:05.00] One\n[00:10.00] Two"_s;

FakeLrclib::Record record(const QString &track, const std::optional<QString> &synced = kSynced)
{
    return { track, u"Artist"_s, 200, u"plain words"_s, synced };
}

QJsonObject candidate(bool synced, bool plain, const QJsonValue &duration)
{
    return { { u"syncedLyrics"_s, synced ? u"[00:01.00]x"_s : QJsonValue() },
             { u"plainLyrics"_s, plain ? u"x"_s : QJsonValue() },
             { u"duration"_s, duration } };
}
// "<seconds> <text>" per line, joined by "|".
QString timed(const QList<LyricLine> &lines)
{
    QStringList out;
    for (const LyricLine &line : lines)
        out.append(QString::number(line.time) + u' ' + line.text);
    return out.join(u'|');
}
} // namespace

class TestLyrics : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    std::unique_ptr<FakeLrclib> m_lrclib;
    std::unique_ptr<LyricsService> m_service;

    void fetch(const QString &title, double duration = 200)
    {
        m_service->fetch(title, u"Artist"_s, duration);
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->isLoading(), 10000);
    }

    // "get <title>|search <title>|…", in the order asked.
    QString requestSummary() const
    {
        QStringList out;
        for (const FakeHttpServer::Request &request : m_lrclib->requests())
            out << request.path.mid(5) + u' ' + *FakeLrclib::item(request, u"track_name"_s);
        return out.join(u'|');
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_lrclib = std::make_unique<FakeLrclib>();
        m_fixture->setEndpoint("VESPER_LRCLIB_URL", m_lrclib->url());
        m_service = std::make_unique<LyricsService>(m_fixture->network());
        m_service->setTransferTimeout(5s);
    }

    void cleanup()
    {
        m_service.reset();
        QVERIFY(m_fixture->networkDrained());
    }

    void lookupsFromTrackToTrack()
    {
        // "+" would reach the service as a space, "&" would start a new item.
        const QString title = u"C++ & Me? #1"_s;
        m_lrclib->add(record(title));
        QSignalSpy linesChanged(m_service.get(), &LyricsService::linesChanged);
        fetch(title);
        QVERIFY(m_service->isSynced() && m_service->currentIndex(12) == 1);
        QCOMPARE(timed(m_service->lines()), u"5 One|10 Two"_s);
        // The same key again, or no title, asks nothing.
        m_service->fetch(title, u"Artist"_s, 250);
        m_service->fetch(QString(), u"Artist"_s, 200);
        QVERIFY(!m_service->isLoading());
        QCOMPARE(linesChanged.size(), 1);

        // A new track clears the lines at once; not found is not asked again.
        m_service->fetch(u"Missing"_s, u"Artist"_s, 100);
        QVERIFY(m_service->lines().isEmpty());
        QTRY_VERIFY(!m_service->isLoading());
        m_service->fetch(u"Missing"_s, u"Artist"_s, 250);
        QVERIFY(!m_service->isLoading());

        QCOMPARE(requestSummary(), u"get "_s + title + u"|get Missing|search Missing"_s);

        // Durations are sent only when known.
        for (const double duration : { 245.99, kUnknown, 0.0, -3.0, 1e300 }) {
            m_lrclib->server().clearRequests();
            fetch(u"Song %1"_s.arg(duration), duration);
            const auto sent = FakeLrclib::item(m_lrclib->requests().first(), u"duration"_s);
            QCOMPARE(sent, duration == 245.99 ? std::optional(u"245"_s) : std::nullopt);
        }
    }

    void theOrderOfAttempts_data()
    {
        QTest::addColumn<QString>("stored"); // the title of the record LRCLIB has, if any
        QTest::addColumn<Response>("failure"); // status 0: none
        QTest::addColumn<QString>("expected");
        const Response none = Response::withStatus(0);
        const QString all = u"get Song - Live|get Song|search Song"_s;
        QTest::newRow("as received") << u"Song - Live"_s << none << u"get Song - Live"_s;
        QTest::newRow("cleaned") << u"Song"_s << none << u"get Song - Live|get Song"_s;
        QTest::newRow("searched") << u"Song (Acoustic)"_s << none << all;
        // Failures read as no lyrics, and never cost more than three requests.
        QTest::newRow("not found") << QString() << none << all;
        // A search answer is refused whole, not read up to a stray element.
        QTest::newRow("stray element")
            << QString()
            << Response::ok(QJsonDocument(QJsonArray { candidate(true, false, 200), 7 }).toJson())
            << all;
    }

    void theOrderOfAttempts()
    {
        QFETCH(QString, stored);
        QFETCH(Response, failure);
        QFETCH(QString, expected);
        if (!stored.isEmpty())
            m_lrclib->add(record(stored));
        for (const QString &path : { u"/api/get"_s, u"/api/search"_s })
            if (failure.status != 0)
                m_lrclib->server().route("GET", path, failure);
        fetch(u"Song - Live"_s);
        QCOMPARE(requestSummary(), expected);
        QCOMPARE(m_service->lines().size(), stored.isEmpty() ? 0 : 2);
    }

    // A→B→A: the answer to the first look-up of A must not end the second one's loading.
    void lateAnswersChangeNothing()
    {
        m_lrclib->add(record(u"A"_s, u"[00:01.00]a words"_s));
        m_lrclib->setDelay(300ms);
        QSignalSpy answered(&m_fixture->network(), &QNetworkAccessManager::finished);
        m_service->fetch(u"A"_s, u"Artist"_s, 200);
        m_service->fetch(u"B"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 2);
        m_lrclib->setDelay(1500ms);
        m_service->fetch(u"A"_s, u"Artist"_s, 200);
        QSignalSpy linesChanged(m_service.get(), &LyricsService::linesChanged);
        QTRY_COMPARE(answered.size(), 2);
        QVERIFY(m_service->isLoading());
        QCOMPARE(linesChanged.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->isLoading(), 5000);
        QCOMPARE(timed(m_service->lines()), u"1 a words"_s);
        QCOMPARE(requestSummary(), u"get A|get B|get A"_s);
    }

    void pureRules()
    {
        const auto choose = [](const QJsonArray &records, double duration) {
            return int(LyricsService::chooseCandidate(records, duration));
        };
        const auto syncedAt = [](const QJsonValue &at) { return candidate(true, false, at); };
        // Synced before plain, then the nearest duration, the earlier on a tie; a missing or
        // textual duration counts as 0, an unknown one leaves the service's order.
        QCOMPARE(
            choose({ candidate(false, false, 200), candidate(false, true, 200), syncedAt(500) },
                   200),
            2);
        QCOMPARE(choose({ syncedAt(260), syncedAt(230), syncedAt(170) }, 200), 1);
        QCOMPARE(choose({ syncedAt(QJsonValue()), syncedAt(u"5"_s), syncedAt(3) }, 2), 2);
        QCOMPARE(choose({ syncedAt(900), syncedAt(1) }, kUnknown), 0);
        QCOMPARE(choose({ candidate(false, false, 200) }, 200), -1);

        // Plain lyrics stand in when the synced ones are missing, untimed or of the wrong type;
        // without either the look-up goes on, blank plain lyrics end it with no lines.
        const auto lyrics = [](const QJsonValue &synced, const QJsonValue &plain) {
            return LyricsService::lyrics(
                { { u"syncedLyrics"_s, synced }, { u"plainLyrics"_s, plain } });
        };
        for (const QJsonValue &synced : { QJsonValue(), QJsonValue(u"[ar:X]\nx"_s), QJsonValue(4) })
            QCOMPARE(timed(lyrics(synced, u"One\nTwo"_s).value().lines), u"0 One|1 Two"_s);
        QVERIFY(!lyrics(u""_s, u""_s) && lyrics({}, u"\n \n"_s).value().lines.isEmpty());

        for (const QString &title : { u"Song [Radio Edit]"_s, u"Song - Live at X"_s,
                                      u"Song - Olive Tree"_s, u"Song (Deluxe) - 2015 Remaster"_s })
            QCOMPARE(LyricsService::cleanTitle(title), u"Song"_s);
        // A featured artist is part of the title; a title that is only a tag is kept.
        QCOMPARE(LyricsService::cleanTitle(u"Song (feat. Someone)"_s), u"Song (feat. Someone)"_s);
        QCOMPARE(LyricsService::cleanTitle(u"(Live)"_s), u"(Live)"_s);

        // Blank ends go, an inner blank line stays, and each line's index is its time.
        QCOMPARE(timed(Lrc::plainLines(u"\n\nA\n\nB\n\n")), u"2 A|3 |4 B"_s);
        QCOMPARE(timed(Lrc::plainLines(u"\uFEFF  One\t\r\n[00:01.00] a\r\n")),
                 u"0 One|1 [00:01.00] a"_s);
        QCOMPARE(timed(Lrc::plainLines(u"\n \n\t\n")), QString());

        QList<LyricLine> lines;
        for (const double time : { 5, 10, 10, 15 })
            lines.append(LyricLine::make(time, u"line"_s));
        // Lines at the same time: the last of them is current.
        for (const auto &[at, index] : QList<std::pair<double, int>> {
                 { 0, 0 }, { 10, 2 }, { 14.99, 2 }, { 100, 3 }, { kUnknown, 0 }, { qInf(), 3 } })
            QCOMPARE(Lrc::lineIndexAt(lines, at), index);
        QCOMPARE(Lrc::lineIndexAt({}, 12), 0);

        // Lines of brackets must not cost quadratic time; a slip makes this run for minutes.
        const qsizetype size = 1'000'000;
        const QList<LyricLine> hostile
            = Lrc::parse(QString(QString(size, u'[') + u"]\n"_s + QString(size, u'<') + u">\n"_s
                                 + u"[00:01.00]"_s + QString(size, u'<') + u"00:01.00>"_s));
        QVERIFY(hostile.size() == 1 && hostile.first().text.size() == size - 1);
    }
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
        const QList<LyricLine> lines = Lrc::parse(text);
        QCOMPARE(timed(lines), expected);
        // Every line has an id of its own, even where several tags share one text.
        QSet<QUuid> ids { QUuid() };
        for (const LyricLine &line : lines)
            ids.insert(line.id);
        QCOMPARE(ids.size(), lines.size() + 1);
    }
};

QTEST_GUILESS_MAIN(TestLyrics)
#include "test_lyrics.moc"
