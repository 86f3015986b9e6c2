#include "FakeClock.h"
#include "services/ScrobbleRules.h"

#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;
using namespace ScrobbleRules;

namespace {
// A player and the one-second tick over it, with the wall clock under the test's control.
struct Run
{
    NowPlayingInfo np;
    std::optional<PlaySession> session;
    Preferences preferences;
    FakeClock clock;
    QList<Event> events;

    explicit Run(double duration, bool playing = true)
    {
        np.title = u"Song"_s;
        np.artist = u"Band"_s;
        np.album = u"Record"_s;
        np.bundleID = u"com.spotify.client"_s;
        np.duration = duration;
        np.isPlaying = playing;
    }

    // One tick after the position moved by `step` seconds (while playing).
    QList<Event> tick(double step = 1.0)
    {
        clock.advance(1.0);
        if (np.isPlaying)
            np.elapsedTime += step;
        const QList<Event> happened = advance(session, np, preferences, clock.now());
        events += happened;
        return happened;
    }
    void ticks(int count)
    {
        for (int i = 0; i < count; ++i)
            tick();
    }
    QList<Event> of(Event::Kind kind) const
    {
        QList<Event> matching;
        for (const Event &event : events) {
            if (event.kind == kind)
                matching.append(event);
        }
        return matching;
    }
};

QList<Event::Kind> kinds(const QList<Event> &events)
{
    QList<Event::Kind> result;
    for (const Event &event : events)
        result.append(event.kind);
    return result;
}
} // namespace

class TestScrobbleRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void threshold_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<double>("heard"); // when the scrobble is due; negative: never
        QTest::newRow("200 s: half") << 200.0 << 100.0;
        QTest::newRow("600 s: four minutes") << 600.0 << 240.0;
        QTest::newRow("31 s: just long enough") << 31.0 << 16.0;
        QTest::newRow("30 s: too short") << 30.0 << -1.0;
        QTest::newRow("unknown length") << 0.0 << -1.0;
    }

    void threshold()
    {
        QFETCH(double, duration);
        QFETCH(double, heard);
        Run run(duration);
        run.ticks(300);
        const QList<Event> due = run.of(Event::ThresholdReached);
        if (heard < 0) {
            QVERIFY(due.isEmpty());
            return;
        }
        QCOMPARE(due.size(), 1);
        QCOMPARE(due.first().session.accumulated, heard);
        QVERIFY(run.session->scrobbled);

        QVERIFY(thresholdReached(15.5, 31));
        QVERIFY(!thresholdReached(15.49, 31));
        QVERIFY(thresholdReached(240, 10000));
    }

    void lengthLearntLate()
    {
        Run run(0);
        run.ticks(61); // 60 seconds heard, length unknown
        QVERIFY(run.of(Event::ThresholdReached).isEmpty());
        run.np.duration = 100;
        QCOMPARE(kinds(run.tick()), QList<Event::Kind> { Event::DurationResolved });
        QCOMPARE(run.session->duration, 100.0);
        QCOMPARE(kinds(run.tick()), QList<Event::Kind> { Event::ThresholdReached });
    }

    void onlyListeningCounts()
    {
        Run run(600);
        run.ticks(11);
        QCOMPARE(run.session->accumulated, 10.0);
        run.tick(30); // seek forward
        run.tick(-20); // seek back
        QCOMPARE(run.session->accumulated, 10.0);
        run.tick(2.5);
        run.tick(2.6);
        QCOMPARE(run.session->accumulated, 12.5);

        // Paused ticks count nothing, even when the reported position drifts.
        run.np.isPlaying = false;
        run.np.elapsedTime += 1;
        run.tick();
        QCOMPARE(run.session->accumulated, 12.5);
        QCOMPARE(run.session->lastElapsed, run.np.elapsedTime);
        run.np.isPlaying = true;
        run.tick();
        QCOMPARE(run.session->accumulated, 13.5);
        QCOMPARE(run.of(Event::SessionStarted).size(), 1);
    }

    void suspendedMachine()
    {
        Run run(600);
        run.ticks(11);
        const QDateTime started = run.session->startedAt;
        // Hours pass on the wall clock between two ticks; the player was suspended too.
        run.clock.jumpWallClock(3 * 3600);
        run.tick();
        QCOMPARE(run.session->accumulated, 11.0);
        // A position that followed the wall clock through the suspend counts nothing either.
        run.clock.jumpWallClock(3 * 3600);
        run.tick(3 * 3600);
        QCOMPARE(run.session->accumulated, 11.0);
        QCOMPARE(run.of(Event::SessionStarted).size(), 1);

        run.np.elapsedTime = 20;
        run.ticks(240);
        const QList<Event> due = run.of(Event::ThresholdReached);
        QCOMPARE(due.size(), 1);
        // The scrobble is dated at the start of the play, not moved by the suspend.
        QCOMPARE(queuedScrobble(due.first().session).timestamp, started.toSecsSinceEpoch());
    }

    void sameTrackAgain()
    {
        Run run(40);
        run.ticks(40);
        QCOMPARE(run.of(Event::ThresholdReached).size(), 1);
        // Repeat one: back under three seconds after more than thirty.
        run.np.elapsedTime = 0.5;
        run.clock.advance(1);
        const QList<Event> restarted
            = advance(run.session, run.np, run.preferences, run.clock.now());
        QCOMPARE(kinds(restarted),
                 (QList<Event::Kind> { Event::SessionStarted, Event::NowPlayingDue }));
        const QDateTime secondStart = run.session->startedAt;
        run.events.clear();
        run.ticks(25);
        const QList<Event> due = run.of(Event::ThresholdReached);
        QCOMPARE(due.size(), 1);
        QCOMPARE(due.first().session.startedAt, secondStart);

        // Jumping back to the start before thirty seconds is the same play.
        Run early(200);
        early.ticks(25);
        early.np.elapsedTime = 0;
        early.tick();
        QCOMPARE(early.of(Event::SessionStarted).size(), 1);
        QCOMPARE(early.session->accumulated, 24.0);
    }

    void anotherSourceIsAnotherPlay()
    {
        Run run(200);
        run.ticks(5);
        run.np.bundleID = u"com.vesper.web.ytmusic"_s;
        QCOMPARE(kinds(run.tick()),
                 (QList<Event::Kind> { Event::SessionStarted, Event::NowPlayingDue }));
        QCOMPARE(run.session->key, u"Song|Band|com.vesper.web.ytmusic"_s);
    }

    void historySwitchedOnDuringAPlay()
    {
        Run run(60);
        run.preferences.history = false;
        run.ticks(50);
        QVERIFY(run.of(Event::ThresholdReached).isEmpty());
        QCOMPARE(run.session->accumulated, 49.0);
        run.preferences.history = true;
        QCOMPARE(kinds(run.tick()), QList<Event::Kind> { Event::ThresholdReached });
    }

    void nowPlayingOncePerPlay()
    {
        Run run(200, false);
        QCOMPARE(kinds(run.tick()), QList<Event::Kind> { Event::SessionStarted });
        QVERIFY(!run.session->nowPlayingSent);
        QVERIFY(run.tick().isEmpty());
        run.np.isPlaying = true;
        QCOMPARE(kinds(run.tick()), QList<Event::Kind> { Event::NowPlayingDue });
        run.ticks(10);
        QCOMPARE(run.of(Event::NowPlayingDue).size(), 1);

        Run quiet(200);
        quiet.preferences.nowPlaying = false;
        quiet.ticks(10);
        QVERIFY(quiet.of(Event::NowPlayingDue).isEmpty());
    }

    void scrobbleTakesTheStartOfThePlay()
    {
        Run run(245.9);
        run.tick();
        const QDateTime started = run.session->startedAt;
        run.np.album = u"Deluxe Edition"_s; // same key: still the same play
        run.ticks(130);
        const QList<Event> due = run.of(Event::ThresholdReached);
        QCOMPARE(due.size(), 1);
        const QueuedScrobble scrobble = queuedScrobble(due.first().session);
        QCOMPARE(scrobble.album, u"Record"_s);
        QCOMPARE(scrobble.track, u"Song"_s);
        QCOMPARE(scrobble.duration, qint64(245));
        QCOMPARE(scrobble.timestamp, started.toSecsSinceEpoch());

        // A length that is not a number is unknown, never a bogus count.
        Run broken(std::nan(""));
        broken.ticks(100);
        QCOMPARE(broken.session->duration, 0.0);
        QVERIFY(broken.of(Event::ThresholdReached).isEmpty());
        QCOMPARE(wholeSeconds(std::nan("")), qint64(0));
        QCOMPARE(wholeSeconds(-0.5), qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestScrobbleRules)
#include "test_scrobble_rules.moc"
