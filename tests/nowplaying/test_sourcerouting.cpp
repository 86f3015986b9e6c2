#include "nowplaying/SourceRouting.h"

#include <QTest>

// Cases name only the fields they need.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace Qt::StringLiterals;
using namespace SourceRouting;

class TestSourceRouting : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void gate()
    {
        const QString spotify = Source(Source::Spotify).rawValue();
        const QString music = Source(Source::AppleMusic).rawValue();
        const NowPlayingInfo musicPaused { .title = u"Song"_s, .sourceId = music };

        // Automatic mode: a playing source always takes over, a paused one never from another.
        QCOMPARE(admit(std::nullopt, spotify, true, musicPaused), Verdict::Accepted);
        QCOMPARE(admit(std::nullopt, spotify, false, musicPaused), Verdict::RejectedPaused);
        QCOMPARE(admit(std::nullopt, music, false, musicPaused), Verdict::Accepted);
        // An unrecognised identifier counts as unknown, which is not the shown source.
        QCOMPARE(admit(std::nullopt, u"org.example.player"_s, false, musicPaused),
                 Verdict::RejectedPaused);
        // A lock admits its own source only, playing or not.
        QCOMPARE(admit(Source::Spotify, spotify, false, musicPaused), Verdict::Accepted);
        QCOMPARE(admit(Source::Spotify, music, true, musicPaused), Verdict::RejectedByLock);
        QCOMPARE(admit(Source::generic(u"radio.example"_s),
                       u"com.vesper.web.generic.radio.example"_s, true, NowPlayingInfo()),
                 Verdict::Accepted);
    }

    void webChecks()
    {
        const NowPlayingInfo spotifyPlaying { .title = u"Song"_s,
                                              .isPlaying = true,
                                              .sourceId = Source(Source::Spotify).rawValue() };
        const WebPlayerState paused { .title = u"Web"_s };
        const WebPlayerState playing { .title = u"Web"_s, .isPlaying = true };

        QCOMPARE(admitWeb(std::nullopt, paused, spotifyPlaying), WebVerdict::RejectedPaused);
        QCOMPARE(admitWeb(std::nullopt, playing, spotifyPlaying), WebVerdict::Accepted);
        // The shown web source may report its own pause.
        NowPlayingInfo webShown = spotifyPlaying;
        webShown.sourceId = Source(Source::YoutubeMusic).rawValue();
        QCOMPARE(admitWeb(std::nullopt, paused, webShown), WebVerdict::Accepted);
        // A native lock rejects every web state.
        QCOMPARE(admitWeb(Source::Spotify, playing, spotifyPlaying),
                 WebVerdict::RejectedByNativeLock);
        QCOMPARE(admitWeb(Source::SoundCloud, playing, spotifyPlaying),
                 WebVerdict::RejectedByWebLock);
        QCOMPARE(admitWeb(Source::YoutubeMusic, playing, spotifyPlaying), WebVerdict::Accepted);
        QCOMPARE(admitWeb(std::nullopt, WebPlayerState { .isPlaying = true }, spotifyPlaying),
                 WebVerdict::Missing);
        QCOMPARE(admitWeb(Source::YoutubeMusic, std::nullopt, spotifyPlaying), WebVerdict::Missing);
    }

    void repeatCycles()
    {
        // Spotify knows no "repeat one"; the others go off, all, one, off.
        QCOMPARE(nextRepeatMode(Source::Spotify, 0), 2);
        QCOMPARE(nextRepeatMode(Source::Spotify, 1), 0);
        QCOMPARE(nextRepeatMode(Source::AppleMusic, 2), 1);
        QCOMPARE(nextRepeatMode(Source::YoutubeMusic, 7), 0);
    }

    void sourceListOrderAndNotes()
    {
        const QSet<QString> running { Source(Source::Spotify).rawValue() };
        // Without the extension only the desktop players are listed.
        WebSites sites;
        auto items
            = sourceList(running, false, { Source::YoutubeMusic }, { Source::YoutubeMusic }, sites);
        QCOMPARE(items,
                 (QList<SourceListItem> { { Source::Spotify, true, std::nullopt },
                                          { Source::AppleMusic, false, u"Not Running"_s } }));

        sites.genericNames.insert(u"www.zebra.example"_s, u"aardvark radio"_s);
        const Source zebra = Source::generic(u"www.zebra.example"_s);
        const Source beta = Source::generic(u"www.Beta.example"_s);
        const Source gamma = Source::generic(u"gamma.example"_s);
        items = sourceList(
            running, true,
            { Source::SoundCloud, Source::generic(u"listed.example"_s), Source::YoutubeMusic },
            { Source::YoutubeMusic, gamma, zebra, beta }, sites);
        QList<Source> order;
        for (const auto &item : items)
            order.append(item.app);
        // Catalogue order (generic definitions skipped), then open generic sites by name.
        QCOMPARE(order,
                 (QList<Source> { Source::Spotify, Source::AppleMusic, Source::SoundCloud,
                                  Source::YoutubeMusic, zebra, beta, gamma }));
        QCOMPARE(items[2].statusNote, u"Not Open"_s);
        QVERIFY(items[3].enabled);
    }
};

QTEST_GUILESS_MAIN(TestSourceRouting)
#include "test_sourcerouting.moc"
