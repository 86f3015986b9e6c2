#include "FakeLrclib.h"
#include "ServiceFixture.h"

#include "lyrics/LyricsService.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(FakeHttpServer::Response)

namespace {
const double kUnknown = std::numeric_limits<double>::quiet_NaN();
const QString kSynced = u"[00:05.00] One\n[00:10.00] Two"_s;

FakeLrclib::Record record(const QString &track, const std::optional<QString> &synced = kSynced)
{
    return { track, u"Artist"_s, 200, u"plain words"_s, synced };
}

QStringList texts(const QList<LyricLine> &lines)
{
    QStringList out;
    for (const LyricLine &line : lines)
        out.append(line.text);
    return out;
}

QJsonObject candidate(bool synced, bool plain, const QJsonValue &duration)
{
    return { { u"syncedLyrics"_s, synced ? u"[00:01.00]x"_s : QJsonValue() },
             { u"plainLyrics"_s, plain ? u"x"_s : QJsonValue() },
             { u"duration"_s, duration } };
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
        QVERIFY(m_service->isSynced());
        QCOMPARE(texts(m_service->lines()), QStringList({ u"One"_s, u"Two"_s }));
        QCOMPARE(m_service->currentIndex(12), 1);
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

        m_lrclib->add(record(u"Plain"_s, std::nullopt));
        fetch(u"Plain"_s);
        QVERIFY(!m_service->isSynced());
        QCOMPARE(m_service->currentIndex(100), 0);
        QCOMPARE(requestSummary(), u"get "_s + title + u"|get Missing|search Missing|get Plain"_s);
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
        QTest::newRow("500") << QString() << Response::withStatus(500, "{}") << all;
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
        if (failure.status != 0) {
            m_lrclib->server().route("GET", u"/api/get"_s, failure);
            m_lrclib->server().route("GET", u"/api/search"_s, failure);
        }
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
        QCOMPARE(texts(m_service->lines()), QStringList { u"a words"_s });
        QCOMPARE(requestSummary(), u"get A|get B|get A"_s);
    }

    void durationsSentOnlyWhenKnown()
    {
        for (const double duration : { 245.99, kUnknown, 0.0, -3.0, 1e300 }) {
            m_lrclib->server().clearRequests();
            fetch(u"Song %1"_s.arg(duration), duration);
            const auto sent = FakeLrclib::item(m_lrclib->requests().first(), u"duration"_s);
            QCOMPARE(sent, duration == 245.99 ? std::optional(u"245"_s) : std::nullopt);
        }
    }

    void pureRules()
    {
        const auto choose = [](const QJsonArray &records, double duration) {
            return int(LyricsService::chooseCandidate(records, duration));
        };
        const auto timed
            = [](const QJsonValue &seconds) { return candidate(true, false, seconds); };
        // Synced before plain, then the nearest duration, the earlier on a tie; a missing or
        // textual duration counts as 0, an unknown one leaves the service's order.
        QCOMPARE(
            choose({ candidate(false, false, 200), candidate(false, true, 200), timed(500) }, 200),
            2);
        QCOMPARE(choose({ timed(260), timed(230), timed(170) }, 200), 1);
        QCOMPARE(choose({ timed(QJsonValue()), timed(u"5"_s), timed(3) }, 2), 2);
        QCOMPARE(choose({ timed(900), timed(1) }, kUnknown), 0);
        QCOMPARE(choose({ candidate(false, false, 200) }, 200), -1);

        // Plain lyrics stand in when the synced ones are missing, untimed or of the wrong type;
        // without either the look-up goes on, blank plain lyrics end it with no lines.
        const auto lyrics = [](const QJsonValue &synced, const QJsonValue &plain) {
            return LyricsService::lyrics(
                { { u"syncedLyrics"_s, synced }, { u"plainLyrics"_s, plain } });
        };
        for (const QJsonValue &synced : { QJsonValue(), QJsonValue(u"[ar:X]\nx"_s), QJsonValue(4) })
            QCOMPARE(texts(lyrics(synced, u"One\nTwo"_s).value().lines),
                     QStringList({ u"One"_s, u"Two"_s }));
        QVERIFY(!lyrics(u""_s, u""_s));
        QVERIFY(lyrics({}, u"\n \n"_s).value().lines.isEmpty());

        for (const QString &title : { u"Song [Radio Edit]"_s, u"Song - Live at X"_s,
                                      u"Song - Olive Tree"_s, u"Song (Deluxe) - 2015 Remaster"_s })
            QCOMPARE(LyricsService::cleanTitle(title), u"Song"_s);
        // A featured artist is part of the title; a title that is only a tag is kept.
        QCOMPARE(LyricsService::cleanTitle(u"Song (feat. Someone)"_s), u"Song (feat. Someone)"_s);
        QCOMPARE(LyricsService::cleanTitle(u"(Live)"_s), u"(Live)"_s);
    }
};

QTEST_GUILESS_MAIN(TestLyrics)
#include "test_lyrics.moc"
