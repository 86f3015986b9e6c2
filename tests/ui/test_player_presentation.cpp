#include "ui/PlayerPresentation.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
namespace Presentation = PlayerPresentation;

namespace {
NowPlayingInfo record(const QString &sourceId,
                      SourceCapabilities capabilities = allSourceCapabilities)
{
    NowPlayingInfo info;
    info.title = u"Song"_s;
    info.sourceId = sourceId;
    info.capabilities = capabilities;
    return info;
}
const QString kSpotify = u"com.spotify.client"_s;
const QString kYtMusic = u"com.vesper.web.ytmusic"_s;
} // namespace

class TestPlayerPresentation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void timesAndFractions()
    {
        const double inf = std::numeric_limits<double>::infinity();
        for (const auto &[seconds, text] : { std::pair { 59.9, u"0:59"_s },
                                             { 60.0, u"1:00"_s },
                                             { 3725.0, u"62:05"_s },
                                             { -3.0, u"0:00"_s },
                                             { std::nan(""), u"0:00"_s },
                                             { inf, u"0:00"_s } })
            QCOMPARE(Presentation::formatTime(seconds), text);
        QVERIFY(Presentation::formatTime(1e300).endsWith(u":00"_s));

        QCOMPARE(Presentation::seekFraction(300, 200), 1.0);
        QCOMPARE(Presentation::seekFraction(-5, 200), 0.0);
        QCOMPARE(Presentation::seekFraction(50, 200), 0.25);
        QCOMPARE(Presentation::seekFraction(50, 0), 0.0);
        QCOMPARE(Presentation::progress(30, 0), 0.0);
        QCOMPARE(Presentation::progress(500, 100), 1.0);
        QCOMPARE(Presentation::progress(std::nan(""), 100), 0.0);
    }

    void likeAndItsGlyph()
    {
        const auto noLike = allSourceCapabilities & ~SourceCapabilities(SourceCapability::Like);
        QVERIFY(!Presentation::likeSupported(record(kYtMusic, noLike), true));
        QVERIFY(Presentation::likeSupported(record(kYtMusic), false));
        QVERIFY(!Presentation::likeSupported(record(kSpotify), false));
        QVERIFY(Presentation::likeSupported(record(kSpotify), true));
        QVERIFY(!Presentation::likeSupported(record(u"com.vesper.unknown"_s), true));
        QVERIFY(!Presentation::likeSupported(record(QString()), true));

        QCOMPARE(Presentation::likeIcon(record(u"com.apple.Music"_s), true), u"star-fill"_s);
        QCOMPARE(Presentation::likeIcon(record(kYtMusic), false), u"thumbs-up"_s);
        QCOMPARE(Presentation::likeIcon(record(kSpotify), true), u"heart-fill"_s);
        QCOMPARE(Presentation::repeatIcon(RepeatMode::One), u"repeat-one"_s);
        QCOMPARE(Presentation::repeatIcon(RepeatMode::All), u"repeat"_s);
    }

    void artworkBadgeAndTrackKey()
    {
        NowPlayingInfo nothing;
        QCOMPARE(Presentation::artwork(nothing, false), Presentation::Artwork::NoSource);
        QCOMPARE(Presentation::artwork(nothing, true), Presentation::Artwork::Placeholder);
        QVERIFY(!Presentation::showsSourceBadge(nothing, false));
        QVERIFY(Presentation::showsSourceBadge(nothing, true));
        NowPlayingInfo withArt = record(kSpotify);
        withArt.artwork = QImage();
        QCOMPARE(Presentation::artwork(withArt, false), Presentation::Artwork::Placeholder);
        withArt.artwork = QImage(4, 4, QImage::Format_RGB32);
        QCOMPARE(Presentation::artwork(withArt, false), Presentation::Artwork::Image);
        QCOMPARE(Presentation::placeholderIcon(Source::Spotify), u"desktop-player"_s);
        QCOMPARE(Presentation::placeholderIcon(Source::generic(u"radio.example"_s)), u"browser"_s);
        QCOMPARE(Presentation::placeholderIcon(Source::Unknown), u"music-note"_s);

        // The album alone is no track change.
        NowPlayingInfo other = withArt;
        other.album = u"Another"_s;
        QCOMPARE(Presentation::trackKey(other), Presentation::trackKey(withArt));
        QCOMPARE(Presentation::currentSource(record(kSpotify), Source(Source::SoundCloud)),
                 Source(Source::SoundCloud));
        QCOMPARE(Presentation::currentSource(record(u"nonsense"_s), std::nullopt),
                 Source(Source::Unknown));
    }

    void menuRowsAndPages()
    {
        const SourceListItem notRunning { Source::Spotify, false, u"Not Running"_s };
        QCOMPARE(Presentation::sourceItemLabel(notRunning, Presentation::MenuStyle::Tray),
                 u"Spotify (Not Running)"_s);
        QCOMPARE(Presentation::sourceItemLabel(notRunning, Presentation::MenuStyle::Player),
                 u"Spotify(Not Running)"_s);

        const Source site = Source::generic(u"radio.example"_s);
        QVERIFY(Presentation::canLearnControls(site));
        for (const Source &known : { Source(Source::Spotify), Source(Source::AppleMusic),
                                     Source(Source::SoundCloud), Source(Source::Unknown) })
            QVERIFY(!Presentation::canLearnControls(known));
        QCOMPARE(Presentation::webPageOf(site), QUrl(u"https://radio.example/"_s));
        QCOMPARE(Presentation::webPageOf(Source::SoundCloud), QUrl(u"https://soundcloud.com/"_s));
        QVERIFY(!Presentation::webPageOf(Source::Spotify));
    }
};

QTEST_GUILESS_MAIN(TestPlayerPresentation)
#include "test_player_presentation.moc"
