#include "FakeClock.h"
#include "scrobbling/ScrobbleRules.h"

#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;
using namespace ScrobbleRules;
using Kinds = QList<Event::Kind>;

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
        : np {
              u"Song"_s, u"Band"_s, u"Record"_s, {}, playing, duration, 0, u"com.spotify.client"_s
          }
    {
    }

    // The kinds of one tick's events, the position moved by `step` seconds while playing.
    Kinds tick(double step = 1.0, int count = 1)
    {
        while (--count > 0)
            tick(step);
        clock.advance(1.0);
        if (np.isPlaying)
            np.elapsedTime += step;
        Kinds kinds;
        for (const Event &event : advance(session, np, preferences, clock.now())) {
            events += event;
            kinds += event.kind;
        }
        return kinds;
    }
    QList<Event> of(Event::Kind kind) const
    {
        QList<Event> matching = events;
        matching.removeIf([kind](const Event &event) { return event.kind != kind; });
        return matching;
    }
};
} // namespace

class TestScrobbleRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void threshold()
    {
        // Length → seconds heard when the scrobble is due (none for 30 s or less, or unknown).
        const std::pair<double, double> cases[]
            = { { 200, 100 }, { 600, 240 }, { 31, 16 }, { 30, -1 }, { 0, -1 } };
        for (const auto &[duration, heard] : cases) {
            Run run(duration);
            run.tick(1, 300);
            const QList<Event> due = run.of(Event::ThresholdReached);
            QCOMPARE(due.size(), heard < 0 ? 0 : 1);
            QVERIFY(heard < 0 || due.first().session.accumulated == heard);
        }
        // A length that is not a number is unknown, never a bogus count, until it is learnt.
        Run run(std::nan(""));
        run.tick(1, 61);
        QVERIFY(run.of(Event::ThresholdReached).isEmpty());
        run.np.duration = 100;
        QCOMPARE(run.tick(), Kinds { Event::DurationResolved });
        QCOMPARE(run.tick(), Kinds { Event::ThresholdReached });
    }

    // Seeks, pauses and suspends count nothing; the scrobble is dated at the start of the play.
    void onlyListeningCounts()
    {
        Run run(600.9);
        run.tick(1, 11);
        const QDateTime started = run.session->startedAt;
        run.tick(30); // seek forward
        run.tick(-20); // seek back
        run.tick(2.5);
        run.tick(2.6);
        QCOMPARE(run.session->accumulated, 12.5);
        run.np.isPlaying = false;
        run.np.elapsedTime += 1; // a paused position that drifts
        run.tick();
        run.np.isPlaying = true;
        // Hours pass on the wall clock, and the position followed it through the suspend.
        run.clock.jumpWallClock(3 * 3600);
        run.tick(3 * 3600);
        QCOMPARE(run.session->accumulated, 12.5);

        run.np.album = u"Deluxe Edition"_s; // same key: still the same play
        run.np.elapsedTime = 20;
        run.tick(1, 240);
        QCOMPARE(run.of(Event::SessionStarted).size(), 1);
        const QueuedScrobble scrobble
            = queuedScrobble(run.of(Event::ThresholdReached).value(0).session);
        QCOMPARE(scrobble,
                 (QueuedScrobble { u"Band"_s, u"Song"_s, u"Record"_s, 600,
                                   started.toSecsSinceEpoch() }));
    }

    void whatStartsAnotherPlay()
    {
        Run run(40);
        run.tick(1, 40);
        QCOMPARE(run.of(Event::ThresholdReached).size(), 1);
        // Repeat one: back under three seconds after more than thirty.
        run.np.elapsedTime = -0.5;
        QCOMPARE(run.tick(), (Kinds { Event::SessionStarted, Event::NowPlayingDue }));
        const QDateTime secondStart = run.session->startedAt;
        run.events.clear();
        run.tick(1, 25);
        QCOMPARE(run.of(Event::ThresholdReached).value(0).session.startedAt, secondStart);
        // Another source is another play.
        run.np.sourceId = u"com.vesper.web.ytmusic"_s;
        QCOMPARE(run.tick(), (Kinds { Event::SessionStarted, Event::NowPlayingDue }));
        QCOMPARE(run.session->key, u"Song|Band|com.vesper.web.ytmusic"_s);

        // Jumping back to the start before thirty seconds is the same play.
        Run early(200);
        early.tick(1, 25);
        early.np.elapsedTime = 0;
        early.tick();
        QCOMPARE(early.of(Event::SessionStarted).size(), 1);
        QCOMPARE(early.session->accumulated, 24.0);
    }

    void preferences()
    {
        // "Now playing" once per play, and only once the track plays.
        Run run(60, false);
        QCOMPARE(run.tick(), Kinds { Event::SessionStarted });
        QVERIFY(run.tick().isEmpty());
        run.np.isPlaying = true;
        QCOMPARE(run.tick(), Kinds { Event::NowPlayingDue });
        run.tick(1, 10);
        QCOMPARE(run.of(Event::NowPlayingDue).size(), 1);

        // History switched on during a play scrobbles it at the next tick.
        run.preferences.history = false;
        run.tick(1, 40);
        QVERIFY(run.of(Event::ThresholdReached).isEmpty());
        run.preferences.history = true;
        QCOMPARE(run.tick(), Kinds { Event::ThresholdReached });

        Run quiet(200);
        quiet.preferences.nowPlaying = false;
        quiet.tick(1, 10);
        QVERIFY(quiet.of(Event::NowPlayingDue).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestScrobbleRules)
#include "test_scrobble_rules.moc"
