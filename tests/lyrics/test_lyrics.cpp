#include "FakeLrclib.h"

#include "Version.h"
#include "lyrics/LyricsService.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Record = FakeLrclib::Record;
using Failure = FakeLrclib::Failure;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(FakeHttpServer::Response)

namespace {
const QString kSynced = u"[00:05.00] First line\n[00:10.00] Second line\n[00:15.00] Third line"_s;
const double kUnknown = std::numeric_limits<double>::quiet_NaN();

Record record(const QString &track, double duration = 200,
              const std::optional<QString> &synced = kSynced)
{
    Record record;
    record.trackName = track;
    record.artistName = u"Artist"_s;
    record.duration = duration;
    record.syncedLyrics = synced;
    record.plainLyrics = u"plain words"_s;
    return record;
}

QStringList texts(const QList<LyricLine> &lines)
{
    QStringList out;
    for (const LyricLine &line : lines)
        out.append(line.text);
    return out;
}

// Search results as LRCLIB sends them, with synced lyrics, plain ones or none.
QJsonObject candidate(bool hasSynced, bool hasPlain, const QJsonValue &duration)
{
    return { { u"syncedLyrics"_s, hasSynced ? u"[00:01.00]x"_s : QJsonValue() },
             { u"plainLyrics"_s, hasPlain ? u"x"_s : QJsonValue() },
             { u"duration"_s, duration } };
}
QJsonObject synced(const QJsonValue &duration) { return candidate(true, false, duration); }
QJsonObject plain(const QJsonValue &duration) { return candidate(false, true, duration); }
} // namespace

class TestLyrics : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLrclib> m_lrclib;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<LyricsService> m_service;

    // Asks and waits until the look-up has ended.
    void fetch(const QString &title, double duration = 200)
    {
        m_service->fetch(title, u"Artist"_s, duration);
        QVERIFY(m_service->isLoading());
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->isLoading(), 10000);
    }

    // "get <title>|search <title>|…", in the order asked.
    QString requestSummary() const
    {
        QStringList out;
        for (const FakeHttpServer::Request &request : m_lrclib->requests())
            out.append(request.path.mid(5) + u' '
                       + FakeLrclib::item(request, u"track_name"_s).value_or(u"-"_s));
        return out.join(u'|');
    }

private Q_SLOTS:
    void init()
    {
        m_lrclib = std::make_unique<FakeLrclib>();
        qputenv("VESPER_LRCLIB_URL", m_lrclib->url().toEncoded());
        m_network = std::make_unique<QNetworkAccessManager>();
        m_network->setProxy(QNetworkProxy::NoProxy);
        m_service = std::make_unique<LyricsService>(*m_network);
        m_service->setTransferTimeout(5s);
    }

    void cleanup()
    {
        m_service.reset();
        m_network.reset();
        m_lrclib.reset();
    }

    // "+" would reach the service as a space, "&" would start a new item.
    void lookupsFromTrackToTrack()
    {
        const QString title = u"C++ & Me? #1"_s;
        m_lrclib->add(record(title));
        QSignalSpy linesChanged(m_service.get(), &LyricsService::linesChanged);
        fetch(title, 200.9);
        QVERIFY(m_service->isSynced());
        QCOMPARE(texts(m_service->lines()),
                 QStringList({ u"First line"_s, u"Second line"_s, u"Third line"_s }));
        QCOMPARE(m_service->currentIndex(12), 1);
        QCOMPARE(m_service->lastKey(), title + u"|Artist"_s);
        QCOMPARE(linesChanged.size(), 1);
        const QByteArray agent = m_lrclib->requests().first().header("user-agent");
        QVERIFY2(agent.startsWith("Vesper/" VESPER_VERSION " (") && agent.endsWith(')'),
                 agent.constData());

        // The same key again, or no title at all, changes nothing and asks nothing.
        m_service->fetch(title, u"Artist"_s, 250);
        m_service->fetch(QString(), u"Artist"_s, 200);
        QVERIFY(!m_service->isLoading());
        QCOMPARE(linesChanged.size(), 1);
        QCOMPARE(m_service->lines().size(), 3);

        m_lrclib->setDelay(200ms);
        QSignalSpy syncedChanged(m_service.get(), &LyricsService::isSyncedChanged);
        m_service->fetch(u"Missing"_s, u"Nobody"_s, 100);
        // The previous track's lines go at once.
        QVERIFY(m_service->isLoading());
        QVERIFY(m_service->lines().isEmpty());
        QCOMPARE(syncedChanged.size(), 1);
        QCOMPARE(m_service->lastKey(), u"Missing|Nobody"_s);
        QTRY_VERIFY(!m_service->isLoading());
        QVERIFY(m_service->lines().isEmpty());
        // Not found is not asked again for the same key.
        m_service->fetch(u"Missing"_s, u"Nobody"_s, 250);
        QVERIFY(!m_service->isLoading());
        m_lrclib->setDelay(0ms);

        // Plain lyrics have no current line.
        m_lrclib->add(record(u"Plain"_s, 200, std::nullopt));
        fetch(u"Plain"_s);
        QVERIFY(!m_service->isSynced());
        QCOMPARE(texts(m_service->lines()), QStringList { u"plain words"_s });
        QCOMPARE(m_service->currentIndex(100), 0);
        QCOMPARE(requestSummary(), u"get "_s + title + u"|get Missing|search Missing|get Plain"_s);
    }

    void theOrderOfAttempts_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("storedTitle"); // empty: no record
        QTest::addColumn<int>("failure"); // -1: the stored record is instrumental, without lyrics
        QTest::addColumn<QString>("expected");

        QTest::newRow("found as received") << u"Song (2011 Remaster)"_s << u"Song (2011 Remaster)"_s
                                           << int(Failure::None) << u"get Song (2011 Remaster)"_s;
        QTest::newRow("found once cleaned")
            << u"Song (2011 Remaster)"_s << u"Song"_s << int(Failure::None)
            << u"get Song (2011 Remaster)|get Song"_s;
        QTest::newRow("searched with the cleaned title")
            << u"Song - Remastered 2009"_s << u"Song (Acoustic)"_s << int(Failure::None)
            << u"get Song - Remastered 2009|get Song|search Song"_s;
        QTest::newRow("nothing to clean: searched as received")
            << u"Rock - Paper"_s << u"Rock - Paper Scissors"_s << int(Failure::None)
            << u"get Rock - Paper|search Rock - Paper"_s;
        // Failures read as no lyrics, and never cost more than three requests.
        const QString live = u"Song (Live)"_s;
        const QString all = u"get Song (Live)|get Song|search Song"_s;
        QTest::newRow("404 TrackNotFound") << live << QString() << int(Failure::None) << all;
        QTest::newRow("500 UnknownError") << live << QString() << int(Failure::ServerError) << all;
        QTest::newRow("malformed JSON") << live << QString() << int(Failure::MalformedJson) << all;
        QTest::newRow("wrong shape") << live << QString() << int(Failure::WrongShape) << all;
        QTest::newRow("instrumental") << live << u"Song"_s << -1 << all;
    }

    void theOrderOfAttempts()
    {
        QFETCH(QString, title);
        QFETCH(QString, storedTitle);
        QFETCH(int, failure);
        QFETCH(QString, expected);
        if (failure < 0) {
            Record instrumental = record(storedTitle, 200, std::nullopt);
            instrumental.plainLyrics.reset();
            instrumental.instrumental = true;
            m_lrclib->add(instrumental);
        } else if (!storedTitle.isEmpty()) {
            m_lrclib->add(record(storedTitle));
        }
        m_lrclib->setFailure(Failure(qMax(failure, 0)));
        fetch(title);
        QCOMPARE(requestSummary(), expected);
        const bool found = failure == 0 && !storedTitle.isEmpty();
        QCOMPARE(m_service->lines().size(), found ? 3 : 0);
        QCOMPARE(m_service->isSynced(), found);
    }

    // Synced before a nearer plain record, then the nearest duration, the earlier on a tie.
    void searchPrefersSyncedThenTheNearestDuration()
    {
        m_lrclib->add(record(u"Tune!"_s, 200, std::nullopt));
        m_lrclib->add(record(u"Tune?"_s, 260, u"[00:01.00]far"_s));
        m_lrclib->add(record(u"Tune."_s, 230, u"[00:01.00]near"_s));
        m_lrclib->add(record(u"Tune,"_s, 170, u"[00:01.00]as near, later"_s));
        fetch(u"Tune"_s);
        QCOMPARE(texts(m_service->lines()), QStringList { u"near"_s });
        QVERIFY(m_service->isSynced());
    }

    void chooseCandidate()
    {
        const auto choose = [](const QJsonArray &records, double duration) {
            return int(LyricsService::chooseCandidate(records, duration));
        };
        const QJsonObject none = candidate(false, false, 200);
        QCOMPARE(choose({ plain(100), plain(199) }, 200), 1);
        QCOMPARE(choose({ synced(500), plain(200) }, 200), 0);
        QCOMPARE(choose({ none, plain(900) }, 200), 1);
        // A missing or textual duration counts as 0.
        QCOMPARE(choose({ synced(QJsonValue()), synced(u"5"_s), synced(3) }, 2), 2);
        // An unknown duration (not a number, or 0) leaves the service's order.
        QCOMPARE(choose({ synced(900), synced(1) }, kUnknown), 0);
        QCOMPARE(choose({ synced(900), synced(1) }, 0), 0);
        QCOMPARE(choose({ none }, 200), -1);
        QCOMPARE(choose({}, 200), -1);
    }

    void lyricsOfARecord()
    {
        const auto lyrics = [](const QJsonValue &synced, const QJsonValue &plain) {
            return LyricsService::lyrics(
                { { u"syncedLyrics"_s, synced }, { u"plainLyrics"_s, plain } });
        };
        // Plain lyrics stand in when the synced ones are missing, untimed or of the wrong type.
        for (const QJsonValue &synced :
             { QJsonValue(), QJsonValue(u"[ar:Someone]\nwords"_s), QJsonValue(42) }) {
            const std::optional<LyricsResult> result = lyrics(synced, u"One\nTwo"_s);
            QVERIFY(result && !result->synced);
            QCOMPARE(texts(result->lines), QStringList({ u"One"_s, u"Two"_s }));
        }
        // Without either the look-up goes on; blank plain lyrics end it, with no lines.
        QVERIFY(!LyricsService::lyrics({}));
        QVERIFY(!lyrics(u""_s, u""_s));
        const std::optional<LyricsResult> blank = lyrics({}, u"\n \n"_s);
        QVERIFY(blank && blank->lines.isEmpty());
    }

    void unusableAnswersAreRefused_data()
    {
        QTest::addColumn<Response>("response");
        // A search answer is refused whole, not read up to a stray element.
        QTest::newRow("stray element")
            << Response::ok(QJsonDocument(QJsonArray { synced(200), 7 }).toJson());
        // Valid lyrics, were it not for their size.
        QString lrc;
        while (lrc.size() < LyricsService::maxBodyBytes)
            lrc += u"[00:01.00] la la la la la la la la la la\n"_s;
        QTest::newRow("length announced")
            << Response::ok(QJsonDocument(QJsonObject { { u"syncedLyrics"_s, lrc } }).toJson());
        Response endless;
        endless.fillerSize = -1;
        QTest::newRow("endless body") << endless;
    }

    void unusableAnswersAreRefused()
    {
        QFETCH(Response, response);
        m_lrclib->server().route("GET", u"/api/get"_s, response);
        m_lrclib->server().route("GET", u"/api/search"_s, response);
        fetch(u"Song"_s);
        QVERIFY(m_service->lines().isEmpty());
        // Endless answers were refused while they came, not read without end.
        if (response.fillerSize)
            QTRY_COMPARE(m_lrclib->server().abortedByClient(), 2);
    }

    // Only the latest look-up counts: the answer to an earlier one of the very same key must not
    // end the later one's loading, and a look-up that was overtaken stops asking.
    void lateAnswersChangeNothing()
    {
        m_lrclib->add(record(u"A"_s, 200, u"[00:01.00]a words"_s));
        m_lrclib->setDelay(300ms);
        m_service->fetch(u"A"_s, u"Artist"_s, 200);
        m_service->fetch(u"B"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 2);
        m_lrclib->setDelay(1500ms);
        m_service->fetch(u"A"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 3);
        QSignalSpy linesChanged(m_service.get(), &LyricsService::linesChanged);

        QTRY_VERIFY(m_lrclib->server().bodyBytesSent().value(0) > 0);
        QTest::qWait(100);
        QVERIFY(m_service->isLoading());
        QCOMPARE(linesChanged.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->isLoading(), 5000);
        QCOMPARE(texts(m_service->lines()), QStringList { u"a words"_s });
        QCOMPARE(requestSummary(), u"get A|get B|get A"_s);
    }

    void durationsSentOnlyWhenKnown_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<QString>("sent"); // empty: no duration item
        QTest::newRow("truncated") << 245.99 << u"245"_s;
        QTest::newRow("not a number") << kUnknown << QString();
        QTest::newRow("unknown") << 0.0 << QString();
        QTest::newRow("negative") << -3.0 << QString();
        QTest::newRow("absurd") << 1e300 << QString();
    }

    void durationsSentOnlyWhenKnown()
    {
        QFETCH(double, duration);
        QFETCH(QString, sent);
        m_lrclib->add(record(u"Song"_s, 245));
        fetch(u"Song"_s, duration);
        const FakeHttpServer::Request first = m_lrclib->requests().first();
        QCOMPARE(FakeLrclib::item(first, u"duration"_s).value_or(QString()), sent);
        QVERIFY(m_service->isSynced());
    }

    void cleanTitle()
    {
        QCOMPARE(LyricsService::cleanTitle(u"Song [Radio Edit]"_s), u"Song"_s);
        QCOMPARE(LyricsService::cleanTitle(u"Song - Live at X"_s), u"Song"_s);
        QCOMPARE(LyricsService::cleanTitle(u"Song (LIVE)"_s), u"Song"_s);
        QCOMPARE(LyricsService::cleanTitle(u"Song - Olive Tree"_s), u"Song"_s);
        QCOMPARE(LyricsService::cleanTitle(u"Song (Deluxe Version) - 2015 Remaster"_s), u"Song"_s);
        QCOMPARE(LyricsService::cleanTitle(u"Song (feat. Someone)"_s), u"Song (feat. Someone)"_s);
        // A title that cleaning would empty is kept as it is.
        QCOMPARE(LyricsService::cleanTitle(u"(Live)"_s), u"(Live)"_s);
    }
};

QTEST_GUILESS_MAIN(TestLyrics)
#include "test_lyrics.moc"
