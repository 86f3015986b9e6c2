#include "models/Hotkey.h"
#include "models/NowPlayingInfo.h"
#include "models/Source.h"
#include "models/SourceCapabilities.h"
#include "models/WebSites.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sourcesReadBackFromTheirNames()
    {
        // Bridge names are the extension's.
        QCOMPARE(Source(Source::YoutubeMusic).bridgeSource(), u"ytmusic"_s);
        QCOMPARE(Source(Source::SpotifyWeb).bridgeSource(), u"spotifyweb"_s);
        for (const Source &source : Source::dedicatedCases()) {
            QCOMPARE(Source::fromRawValue(source.rawValue()).value_or(Source::Generic).kind(),
                     source.kind());
            // Only what the bridge serves has a bridge name; the two name spaces do not mix.
            QCOMPARE(source.isDesktopSource(), !source.bridgeSource());
            if (const std::optional<QString> bridge = source.bridgeSource()) {
                QCOMPARE(Source::fromBridgeSource(*bridge).value_or(Source::Generic).kind(),
                         source.kind());
                QVERIFY(!Source::fromRawValue(*bridge));
            }
        }
        for (const QString &text : { u"com.Spotify.client"_s, u"com.vesper.web.generic."_s })
            QVERIFY2(!Source::fromRawValue(text) && !Source::fromBridgeSource(text),
                     qPrintable(text));

        // A web site of its own: the host is taken verbatim, and both names lead to one source.
        const Source site = Source::generic(u"www.radio.example.org"_s);
        QCOMPARE(Source::fromRawValue(u"com.vesper.web.generic.www.radio.example.org"_s), site);
        QCOMPARE(Source::fromBridgeSource(u"generic:www.radio.example.org"_s), site);
        QVERIFY(site != Source::generic(u"radio.example.org"_s));
    }

    void genericNames()
    {
        WebSites sites;
        const auto shown
            = [&](const QString &host) { return sites.displayName(Source::generic(host)); };
        // One leading "www." goes, as a whole label, unless nothing would be left.
        QCOMPARE(shown(u"www.www.radio.example"_s), u"www.radio.example"_s);
        QCOMPARE(shown(u"www."_s), u"www."_s);
        // Site names are keyed by the full host.
        sites.genericNames.insert(u"radio.example"_s, u"Radio Example"_s);
        QCOMPARE(shown(u"www.radio.example"_s), u"radio.example"_s);
        QCOMPARE(shown(u"radio.example"_s), u"Radio Example"_s);
    }

    void aNewRecordIsWhatTheViewShowsDifferently()
    {
        // Position, album and artwork do not make a new record; what the controls act on does.
        NowPlayingInfo base, same, other;
        base.title = same.title = other.title = u"Song"_s;
        same.elapsedTime = 95.5;
        same.album = u"Another"_s;
        same.artwork = QImage(4, 4, QImage::Format_ARGB32);
        other.capabilities = SourceCapability::Seek;
        QVERIFY(same == base && other != base);
    }

    void hotkeys()
    {
        // Stored bindings use macOS key codes, which follow the keyboard, not the alphabet.
        QStringList sample;
        for (quint32 code : { 0u, 11u, 23u, 126u, 36u, 117u, 118u, 105u })
            sample << Hotkey::keyName(code);
        QCOMPARE(sample.join(u' '), u"A B 5 ↑ ↩ ⌦ F4 Key105"_s);
        const quint32 all = Hotkey::Command | Hotkey::Shift | Hotkey::Option | Hotkey::Control;
        QCOMPARE((Hotkey { 122, all }.displayString()), u"⌃⌥⇧⌘F1"_s);

        // The raw values key the stored bindings.
        for (const HotkeyAction action : HotkeyActions::all())
            QCOMPARE(HotkeyActions::fromRawValue(HotkeyActions::rawValue(action)), action);
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
