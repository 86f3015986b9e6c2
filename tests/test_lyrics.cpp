#include "FakeLrclib.h"

#include "Version.h"
#include "services/LyricsService.h"

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

namespace {
const QString kSynced = u"[00:05.00] First line\n[00:10.00] Second line\n[00:15.00] Third line"_s;

Record synced(const QString &track, const QString &artist, double duration,
              const QString &lrc = kSynced)
{
    Record record;
    record.trackName = track;
    record.artistName = artist;
    record.duration = duration;
    record.syncedLyrics = lrc;
    record.plainLyrics = u"First line\nSecond line\nThird line"_s;
    return record;
}

Record plainOnly(const QString &track, const QString &artist, double duration, const QString &text)
{
    Record record;
    record.trackName = track;
    record.artistName = artist;
    record.duration = duration;
    record.plainLyrics = text;
    return record;
}

QStringList texts(const QList<LyricLine> &lines)
{
    QStringList out;
    for (const LyricLine &line : lines)
        out.append(line.text);
    return out;
}

QList<double> times(const QList<LyricLine> &lines)
{
    QList<double> out;
    for (const LyricLine &line : lines)
        out.append(line.time);
    return out;
}

QJsonObject candidate(bool hasSynced, bool hasPlain, QJsonValue duration)
{
    QJsonObject object { { u"syncedLyrics"_s, hasSynced ? u"[00:01.00]x"_s : QJsonValue() },
                         { u"plainLyrics"_s, hasPlain ? u"x"_s : QJsonValue() } };
    if (!duration.isUndefined())
        object.insert(u"duration"_s, duration);
    return object;
}
} // namespace

class TestLyrics : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeLrclib> m_lrclib;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<LyricsService> m_service;

    // Asks and waits until the look-up has ended.
    void fetch(const QString &title, const QString &artist, double duration)
    {
        m_service->fetch(title, artist, duration);
        QVERIFY(m_service->isLoading());
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->isLoading(), 10000);
    }

    QStringList requestSummary() const
    {
        QStringList out;
        for (const FakeHttpServer::Request &request : m_lrclib->requests())
            out.append(request.path + u' '
                       + FakeLrclib::item(request, u"track_name"_s).value_or(u"-"_s));
        return out;
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

    void findsSyncedLyricsWithTheFirstRequest()
    {
        m_lrclib->add(synced(u"Song"_s, u"Artist"_s, 200));
        QSignalSpy linesChanged(m_service.get(), &LyricsService::linesChanged);
        fetch(u"Song"_s, u"Artist"_s, 200.9);

        QVERIFY(m_service->isSynced());
        QCOMPARE(texts(m_service->lines()),
                 QStringList({ u"First line"_s, u"Second line"_s, u"Third line"_s }));
        QCOMPARE(times(m_service->lines()), QList<double>({ 5, 10, 15 }));
        QCOMPARE(m_service->lastKey(), u"Song|Artist"_s);
        QCOMPARE(linesChanged.size(), 1);

        const QList<FakeHttpServer::Request> requests = m_lrclib->requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().path, u"/api/get"_s);
        // Items in order, the duration truncated to whole seconds.
        QCOMPARE(requests.first().rawQuery, "track_name=Song&artist_name=Artist&duration=200");
        const QByteArray agent = requests.first().header("user-agent");
        QVERIFY2(agent.startsWith("Vesper/" VESPER_VERSION " (") && agent.endsWith(')'),
                 agent.constData());

        QCOMPARE(m_service->currentIndex(0), 0);
        QCOMPARE(m_service->currentIndex(10), 1);
        QCOMPARE(m_service->currentIndex(14.99), 1);
        QCOMPARE(m_service->currentIndex(100), 2);
    }

    // "+" would reach the service as a space, "&" would start a new item.
    void reservedCharactersReachTheServiceIntact()
    {
        m_lrclib->add(synced(u"C++ & Me? #1"_s, u"Simon & Garfunkel"_s, 180));
        fetch(u"C++ & Me? #1"_s, u"Simon & Garfunkel"_s, 180);
        QVERIFY(m_service->isSynced());
        QCOMPARE(m_lrclib->requests().size(), 1);
    }

    void stateWhileLoadingAndWhenNothingIsFound()
    {
        m_lrclib->add(synced(u"Song"_s, u"Artist"_s, 200));
        fetch(u"Song"_s, u"Artist"_s, 200);
        QVERIFY(!m_service->lines().isEmpty());

        m_lrclib->setDelay(200ms);
        QSignalSpy syncedChanged(m_service.get(), &LyricsService::isSyncedChanged);
        m_service->fetch(u"Missing"_s, u"Nobody"_s, 100);
        // The previous track's lines go at once.
        QVERIFY(m_service->isLoading());
        QVERIFY(m_service->lines().isEmpty());
        QVERIFY(!m_service->isSynced());
        QCOMPARE(syncedChanged.size(), 1);
        QCOMPARE(m_service->lastKey(), u"Missing|Nobody"_s);

        QTRY_VERIFY(!m_service->isLoading());
        QVERIFY(m_service->lines().isEmpty());
        QVERIFY(!m_service->isSynced());
        QCOMPARE(requestSummary().mid(1),
                 QStringList({ u"/api/get Missing"_s, u"/api/search Missing"_s }));
    }

    void theOrderOfAttempts_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("storedTitle");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("found as received") << u"Song (2011 Remaster)"_s << u"Song (2011 Remaster)"_s
                                           << QStringList { u"/api/get Song (2011 Remaster)"_s };
        QTest::newRow("found once cleaned")
            << u"Song (2011 Remaster)"_s << u"Song"_s
            << QStringList { u"/api/get Song (2011 Remaster)"_s, u"/api/get Song"_s };
        QTest::newRow("searched with the cleaned title")
            << u"Song - Remastered 2009"_s << u"Song (Acoustic)"_s
            << QStringList { u"/api/get Song - Remastered 2009"_s, u"/api/get Song"_s,
                             u"/api/search Song"_s };
        QTest::newRow("nothing to clean: searched as received")
            << u"Rock - Paper"_s << u"Rock - Paper Scissors"_s
            << QStringList { u"/api/get Rock - Paper"_s, u"/api/search Rock - Paper"_s };
    }

    void theOrderOfAttempts()
    {
        QFETCH(QString, title);
        QFETCH(QString, storedTitle);
        QFETCH(QStringList, expected);
        m_lrclib->add(synced(storedTitle, u"Artist"_s, 200));
        fetch(title, u"Artist"_s, 200);
        QCOMPARE(requestSummary(), expected);
        QVERIFY(m_service->isSynced());
        QCOMPARE(m_service->lines().size(), 3);
    }

    void searchPrefersSyncedThenTheNearestDuration()
    {
        m_lrclib->add(plainOnly(u"Tune!"_s, u"Band"_s, 200, u"plain words"_s));
        m_lrclib->add(synced(u"Tune?"_s, u"Band"_s, 260, u"[00:01.00]far"_s));
        m_lrclib->add(synced(u"Tune."_s, u"Band"_s, 230, u"[00:01.00]near"_s));
        m_lrclib->add(synced(u"Tune,"_s, u"Band"_s, 170, u"[00:01.00]as near, later"_s));
        fetch(u"Tune"_s, u"Band"_s, 200);
        QCOMPARE(texts(m_service->lines()), QStringList { u"near"_s });
        QVERIFY(m_service->isSynced());
    }

    void chooseCandidate_data()
    {
        QTest::addColumn<QJsonArray>("records");
        QTest::addColumn<double>("duration");
        QTest::addColumn<int>("chosen");

        const double unknown = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("synced beats a nearer plain")
            << QJsonArray { candidate(false, true, 200), candidate(true, false, 260) } << 200.0
            << 1;
        QTest::newRow("a tie keeps the earlier")
            << QJsonArray { candidate(true, true, 195), candidate(true, true, 205) } << 200.0 << 0;
        QTest::newRow("nearest among plain ones")
            << QJsonArray { candidate(false, true, 100), candidate(false, true, 199) } << 200.0
            << 1;
        QTest::newRow("plain never replaces synced")
            << QJsonArray { candidate(true, false, 500), candidate(false, true, 200) } << 200.0
            << 0;
        QTest::newRow("records without lyrics are left out")
            << QJsonArray { candidate(false, false, 200), candidate(false, true, 900) } << 200.0
            << 1;
        QTest::newRow("a missing or textual duration counts as 0")
            << QJsonArray { candidate(true, false, QJsonValue()), candidate(true, false, u"5"_s),
                            candidate(true, false, 3) }
            << 2.0 << 2;
        QTest::newRow("an unknown duration leaves the service's order")
            << QJsonArray { candidate(true, false, 900), candidate(true, false, 1) } << unknown
            << 0;
        QTest::newRow("a zero duration is unknown too")
            << QJsonArray { candidate(true, false, 900), candidate(true, false, 1) } << 0.0 << 0;
        QTest::newRow("nothing with lyrics")
            << QJsonArray { candidate(false, false, 200) } << 200.0 << -1;
        QTest::newRow("empty") << QJsonArray {} << 200.0 << -1;
    }

    void chooseCandidate()
    {
        QFETCH(QJsonArray, records);
        QFETCH(double, duration);
        QFETCH(int, chosen);
        QCOMPARE(LyricsService::chooseCandidate(records, duration), qsizetype(chosen));
    }

    void plainLyricsWhenNothingIsTimed_data()
    {
        QTest::addColumn<QJsonValue>("syncedLyrics");
        QTest::addColumn<QString>("plainLyrics");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QList<double>>("expectedTimes");

        QTest::newRow("synced null")
            << QJsonValue() << u"\n\nA\n\nB\n\n"_s << QStringList { u"A"_s, QString(), u"B"_s }
            << QList<double> { 2, 3, 4 };
        QTest::newRow("synced without a time tag")
            << QJsonValue(u"[ar:Someone]\nwords"_s) << u"One\nTwo"_s
            << QStringList { u"One"_s, u"Two"_s } << QList<double> { 0, 1 };
        QTest::newRow("synced of the wrong type")
            << QJsonValue(42) << u"One"_s << QStringList { u"One"_s } << QList<double> { 0 };
    }

    void plainLyricsWhenNothingIsTimed()
    {
        QFETCH(QJsonValue, syncedLyrics);
        QFETCH(QString, plainLyrics);
        QFETCH(QStringList, expected);
        QFETCH(QList<double>, expectedTimes);

        const QJsonObject record { { u"syncedLyrics"_s, syncedLyrics },
                                   { u"plainLyrics"_s, plainLyrics } };
        const std::optional<LyricsResult> result = LyricsService::lyrics(record);
        QVERIFY(result);
        QVERIFY(!result->synced);
        QCOMPARE(texts(result->lines), expected);
        QCOMPARE(times(result->lines), expectedTimes);

        // The same through the service; plain lines have no current line.
        m_lrclib->server().route("GET", u"/api/get"_s,
                                 Response::ok(QJsonDocument(record).toJson(), "application/json"));
        fetch(u"Song"_s, u"Artist"_s, 200);
        QVERIFY(!m_service->isSynced());
        QCOMPARE(texts(m_service->lines()), expected);
        QCOMPARE(m_service->currentIndex(100), 0);
        QCOMPARE(m_lrclib->requests().size(), 1);
    }

    void recordsWithoutLyrics()
    {
        QVERIFY(!LyricsService::lyrics({}));
        QVERIFY(!LyricsService::lyrics(
            { { u"syncedLyrics"_s, QString() }, { u"plainLyrics"_s, QString() } }));
        // Plain lyrics that are only blank lines still end the look-up, with no lines.
        const std::optional<LyricsResult> blank
            = LyricsService::lyrics({ { u"plainLyrics"_s, u"\n \n"_s } });
        QVERIFY(blank);
        QVERIFY(blank->lines.isEmpty());
    }

    void instrumentalTrackHasNoLyrics()
    {
        Record record;
        record.trackName = u"Interlude"_s;
        record.artistName = u"Band"_s;
        record.duration = 95;
        record.instrumental = true;
        m_lrclib->add(record);
        fetch(u"Interlude"_s, u"Band"_s, 95);
        QVERIFY(m_service->lines().isEmpty());
        QVERIFY(!m_service->isSynced());
        QCOMPARE(requestSummary(),
                 QStringList({ u"/api/get Interlude"_s, u"/api/search Interlude"_s }));
    }

    void failuresReadAsNoLyrics_data()
    {
        QTest::addColumn<int>("failure");
        QTest::newRow("404 TrackNotFound") << int(Failure::None);
        QTest::newRow("500 UnknownError") << int(Failure::ServerError);
        QTest::newRow("malformed JSON") << int(Failure::MalformedJson);
        QTest::newRow("wrong shape") << int(Failure::WrongShape);
    }

    void failuresReadAsNoLyrics()
    {
        QFETCH(int, failure);
        m_lrclib->setFailure(Failure(failure));
        fetch(u"Song (Live)"_s, u"Artist"_s, 200);
        QVERIFY(m_service->lines().isEmpty());
        QVERIFY(!m_service->isSynced());
        // Never more than three requests for a track.
        QCOMPARE(
            requestSummary(),
            QStringList({ u"/api/get Song (Live)"_s, u"/api/get Song"_s, u"/api/search Song"_s }));
    }

    void searchAnswerWithAStrayElementIsRefused()
    {
        const QJsonArray answer { candidate(true, false, 200), 7 };
        m_lrclib->server().route("GET", u"/api/search"_s,
                                 Response::ok(QJsonDocument(answer).toJson()));
        fetch(u"Song"_s, u"Artist"_s, 200);
        QVERIFY(m_service->lines().isEmpty());
    }

    void oversizedAnswersAreRefused_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::newRow("length announced") << true;
        QTest::newRow("endless body") << false;
    }

    void oversizedAnswersAreRefused()
    {
        QFETCH(bool, announced);
        Response response;
        if (announced) {
            // Valid lyrics, were it not for their size.
            QString lrc;
            while (lrc.size() < LyricsService::maxBodyBytes)
                lrc += u"[00:01.00] la la la la la la la la la la\n"_s;
            response.body = QJsonDocument(QJsonObject { { u"syncedLyrics"_s, lrc } }).toJson();
        } else {
            response.fillerSize = -1;
        }
        m_lrclib->server().route("GET", u"/api/get"_s, response);
        m_lrclib->server().route("GET", u"/api/search"_s, response);
        fetch(u"Song"_s, u"Artist"_s, 200);
        QVERIFY(m_service->lines().isEmpty());
        // Endless answers were refused while they came, not read without end.
        if (!announced)
            QTRY_COMPARE(m_lrclib->server().abortedByClient(), 2);
    }

    void slowAnswerForAnEarlierTrackIsDropped()
    {
        m_lrclib->add(synced(u"Old"_s, u"Artist"_s, 200, u"[00:01.00]old words"_s));
        m_lrclib->add(synced(u"New"_s, u"Artist"_s, 200, u"[00:01.00]new words"_s));
        m_lrclib->setDelay(500ms);
        m_service->fetch(u"Old"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 1);

        m_lrclib->setDelay(0ms);
        fetch(u"New"_s, u"Artist"_s, 200);
        QCOMPARE(texts(m_service->lines()), QStringList { u"new words"_s });

        // The old answer arrives after the new one and changes nothing.
        QSignalSpy linesChanged(m_service.get(), &LyricsService::linesChanged);
        QTRY_VERIFY(m_lrclib->server().bodyBytesSent().value(0) > 0);
        QTest::qWait(100);
        QCOMPARE(linesChanged.size(), 0);
        QCOMPARE(texts(m_service->lines()), QStringList { u"new words"_s });
        QCOMPARE(m_service->lastKey(), u"New|Artist"_s);
        QVERIFY(!m_service->isLoading());
    }

    // The same title, artist and track again after another one: the earlier look-up of that
    // very key must not end the loading state of the later one.
    void anEarlierLookupOfTheSameKeyDoesNotCount()
    {
        m_lrclib->add(synced(u"A"_s, u"Artist"_s, 200, u"[00:01.00]a words"_s));
        m_lrclib->setDelay(300ms);
        m_service->fetch(u"A"_s, u"Artist"_s, 200);
        m_service->fetch(u"B"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 2);
        m_lrclib->setDelay(1500ms);
        m_service->fetch(u"A"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 3);

        QTRY_VERIFY(m_lrclib->server().bodyBytesSent().value(0) > 0);
        QTest::qWait(100);
        QVERIFY(m_service->isLoading());
        QVERIFY(m_service->lines().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->isLoading(), 5000);
        QCOMPARE(texts(m_service->lines()), QStringList { u"a words"_s });
    }

    void anAbandonedLookupStopsAsking()
    {
        m_lrclib->setDelay(300ms);
        m_service->fetch(u"Gone (Live)"_s, u"Artist"_s, 200);
        QTRY_COMPARE(m_lrclib->requests().size(), 1);
        m_lrclib->setDelay(0ms);
        m_lrclib->add(synced(u"Next"_s, u"Artist"_s, 200));
        fetch(u"Next"_s, u"Artist"_s, 200);
        QTRY_VERIFY(m_lrclib->server().bodyBytesSent().value(0) > 0);
        QTest::qWait(100);
        QCOMPARE(requestSummary(), QStringList({ u"/api/get Gone (Live)"_s, u"/api/get Next"_s }));
    }

    void repeatedAndEmptyRequestsChangeNothing()
    {
        fetch(u"Missing"_s, u"Artist"_s, 200);
        const qsizetype asked = m_lrclib->requests().size();
        // Not found is not retried for the same key.
        m_service->fetch(u"Missing"_s, u"Artist"_s, 250);
        QVERIFY(!m_service->isLoading());

        m_lrclib->add(synced(u"Song"_s, u"Artist"_s, 200));
        fetch(u"Song"_s, u"Artist"_s, 200);
        const QList<LyricLine> lines = m_service->lines();
        QSignalSpy changed(m_service.get(), &LyricsService::linesChanged);
        m_service->fetch(QString(), u"Artist"_s, 200);
        m_service->fetch(u"Song"_s, u"Artist"_s, 200);
        QTest::qWait(50);
        QCOMPARE(changed.size(), 0);
        QCOMPARE(m_service->lines(), lines);
        QCOMPARE(m_service->lastKey(), u"Song|Artist"_s);
        QCOMPARE(m_lrclib->requests().size(), asked + 1);
    }

    void durationsSentOnlyWhenKnown_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<QString>("sent"); // empty: no duration item
        QTest::newRow("truncated") << 245.99 << u"245"_s;
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << QString();
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << QString();
        QTest::newRow("unknown") << 0.0 << QString();
        QTest::newRow("negative") << -3.0 << QString();
        QTest::newRow("absurd") << 1e300 << QString();
    }

    void durationsSentOnlyWhenKnown()
    {
        QFETCH(double, duration);
        QFETCH(QString, sent);
        m_lrclib->add(synced(u"Song"_s, u"Artist"_s, 245));
        fetch(u"Song"_s, u"Artist"_s, duration);
        const FakeHttpServer::Request first = m_lrclib->requests().first();
        QCOMPARE(FakeLrclib::item(first, u"duration"_s).value_or(QString()), sent);
        QVERIFY(m_service->isSynced());
    }

    void cleanTitle_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("cleaned");
        QTest::newRow("bracketed remaster") << u"Song (2011 Remaster)"_s << u"Song"_s;
        QTest::newRow("square brackets") << u"Song [Radio Edit]"_s << u"Song"_s;
        QTest::newRow("dash remaster") << u"Song - Remastered 2009"_s << u"Song"_s;
        QTest::newRow("dash live") << u"Song - Live at X"_s << u"Song"_s;
        QTest::newRow("no keyword") << u"Rock - Paper"_s << u"Rock - Paper"_s;
        QTest::newRow("upper case") << u"Song (LIVE)"_s << u"Song"_s;
        QTest::newRow("inside a word") << u"Song - Olive Tree"_s << u"Song"_s;
        QTest::newRow("both kinds") << u"Song (Deluxe Version) - 2015 Remaster"_s << u"Song"_s;
        QTest::newRow("other brackets stay")
            << u"Song (feat. Someone)"_s << u"Song (feat. Someone)"_s;
        QTest::newRow("nothing but a tag") << u"(Live)"_s << u"(Live)"_s;
    }

    void cleanTitle()
    {
        QFETCH(QString, title);
        QFETCH(QString, cleaned);
        QCOMPARE(LyricsService::cleanTitle(title), cleaned);
    }
};

QTEST_GUILESS_MAIN(TestLyrics)
#include "test_lyrics.moc"
