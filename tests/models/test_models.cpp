#include "models/Hotkey.h"
#include "models/NowPlayingInfo.h"
#include "models/Source.h"
#include "models/SourceCapabilities.h"
#include "models/SourceListItem.h"
#include "models/WebSites.h"

#include <QSet>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

class TestModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dedicatedCasesNameThemselves()
    {
        // Raw values are stored in the settings and bridge names are the extension's: a sample of
        // each is pinned, and every case must read back from its own names.
        struct Row
        {
            Source::Kind kind;
            QString raw, bridge, name;
        };
        const QList<Row> rows {
            { Source::Spotify, u"com.spotify.client"_s, {}, u"Spotify"_s },
            { Source::AppleMusic, u"com.apple.Music"_s, {}, u"Music"_s },
            { Source::YoutubeMusic, u"com.vesper.web.ytmusic"_s, u"ytmusic"_s, u"YouTube Music"_s },
            { Source::SpotifyWeb, u"com.vesper.web.spotify"_s, u"spotifyweb"_s,
              u"Spotify Web Player"_s },
            { Source::AppleMusicWeb, u"com.vesper.web.applemusic"_s, u"applemusicweb"_s,
              u"Apple Music Web"_s },
            { Source::Pandora, u"com.vesper.web.pandora"_s, u"pandora"_s, u"Pandora"_s },
            { Source::Unknown, {}, {}, {} },
        };
        for (const Row &row : rows) {
            const Source app(row.kind);
            QCOMPARE(app.rawValue(), row.raw);
            QCOMPARE(app.bridgeSource().value_or(QString()), row.bridge);
            QCOMPARE(app.displayName(), row.name);
        }

        const QList<Source> cases = Source::dedicatedCases();
        QCOMPARE(cases.size(), 15);
        QCOMPARE(cases.first(), Source(Source::Spotify));
        QCOMPARE(cases.last(), Source(Source::Unknown));
        QSet<QString> names;
        for (const Source &app : cases) {
            QCOMPARE(Source::fromRawValue(app.rawValue()).value_or(Source::Generic).kind(),
                     app.kind());
            QVERIFY(app.host().isEmpty());
            // Only what the bridge serves has a bridge name; the two name spaces do not mix.
            QCOMPARE(app.isDesktopSource(), !app.bridgeSource());
            if (const std::optional<QString> bridge = app.bridgeSource()) {
                QCOMPARE(Source::fromBridgeSource(*bridge).value_or(Source::Generic).kind(),
                         app.kind());
                QVERIFY(!Source::fromRawValue(*bridge));
            }
            QVERIFY(!Source::fromBridgeSource(app.rawValue()));
            names.insert(app.displayName());
        }
        QCOMPARE(names.size(), cases.size());

        for (const QString &text : { u"auto"_s, u"com.Spotify.client"_s, u" com.spotify.client"_s,
                                     u"com.vesper.web."_s, u"com.vesper.web.generic"_s,
                                     u"spotify"_s, u"generic"_s, u"Generic:example.com"_s }) {
            QVERIFY2(!Source::fromRawValue(text), qPrintable(text));
            QVERIFY2(!Source::fromBridgeSource(text), qPrintable(text));
        }
    }

    void genericSources()
    {
        const QString prefix = u"com.vesper.web.generic."_s;
        QVERIFY(!Source::fromRawValue(prefix));
        QVERIFY(!Source::fromBridgeSource(u"generic:"_s));

        // The remainder is taken verbatim, dots and "www." included.
        for (const QString &host : { u"x"_s, u"www.radio.example.org"_s }) {
            const std::optional<Source> fromRaw = Source::fromRawValue(prefix + host);
            QVERIFY(fromRaw);
            QCOMPARE(fromRaw->kind(), Source::Generic);
            QCOMPARE(fromRaw->host(), host);
            QCOMPARE(fromRaw->rawValue(), prefix + host);
            QVERIFY(!fromRaw->isDesktopSource());
            const std::optional<Source> fromBridge = Source::fromBridgeSource(u"generic:"_s + host);
            QVERIFY(fromBridge);
            QCOMPARE(fromBridge->bridgeSource(), std::optional<QString>(u"generic:"_s + host));
            QCOMPARE(*fromBridge, *fromRaw);
        }

        QCOMPARE(Source(), Source(Source::Unknown));
        QVERIFY(Source::generic(u"a.com"_s) != Source::generic(u"www.a.com"_s));

        QSet<Source> set { Source::Spotify, Source::generic(u"a.com"_s) };
        QVERIFY(set.contains(*Source::fromRawValue(u"com.vesper.web.generic.a.com"_s)));
        QVERIFY(!set.contains(Source::generic(u"b.com"_s)));
        set.insert(*Source::fromBridgeSource(u"generic:a.com"_s));
        QCOMPARE(set.size(), 2);
    }

    void genericDisplayName()
    {
        const auto shown = [](const QString &host) { return Source::generic(host).displayName(); };
        QCOMPARE(shown(u"www.radio.example"_s), u"radio.example"_s);
        // Only one leading "www." goes, and only as a whole label.
        QCOMPARE(shown(u"www.www.radio.example"_s), u"www.radio.example"_s);
        QCOMPARE(shown(u"wwwradio.example"_s), u"wwwradio.example"_s);
        QCOMPARE(shown(u"radio.www.example"_s), u"radio.www.example"_s);
        // Stripping would leave nothing to show.
        QCOMPARE(shown(u"www."_s), u"www."_s);
    }

    void webSitesNameAndIconTheirSources()
    {
        WebSites sites;
        const auto shown
            = [&](const QString &host) { return sites.displayName(Source::generic(host)); };
        sites.genericNames.insert(u"www.radio.example"_s, QString());
        QCOMPARE(shown(u"www.radio.example"_s), u"radio.example"_s);
        // Keyed by the full host as the browser reports it.
        sites.genericNames.insert(u"radio.example"_s, u"Radio Example"_s);
        QCOMPARE(shown(u"www.radio.example"_s), u"radio.example"_s);
        sites.genericNames.insert(u"www.radio.example"_s, u"Radio Example"_s);
        QCOMPARE(shown(u"www.radio.example"_s), u"Radio Example"_s);
        // Dedicated cases keep their own names.
        sites.genericNames.insert(u"com.vesper.web.tidal"_s, u"Other"_s);
        QCOMPARE(sites.displayName(Source::Tidal), u"Tidal"_s);

        sites.genericFavicons.insert(u"radio.example"_s, u"https://radio.example/icon.png"_s);
        sites.favicons.insert(u"com.vesper.web.tidal"_s, u"https://tidal.example/f.ico"_s);
        QCOMPARE(sites.faviconURL(Source::generic(u"radio.example"_s)),
                 std::optional<QUrl>(QUrl(u"https://radio.example/icon.png"_s)));
        QCOMPARE(sites.faviconURL(Source::Tidal),
                 std::optional<QUrl>(QUrl(u"https://tidal.example/f.ico"_s)));
        QVERIFY(!sites.faviconURL(Source::generic(u"www.radio.example"_s)));
        // Each kind of source looks only in its own table.
        sites.favicons.insert(u"com.vesper.web.generic.other.example"_s, u"https://o.example/f"_s);
        QVERIFY(!sites.faviconURL(Source::generic(u"other.example"_s)));
        sites.genericFavicons.insert(u"com.vesper.web.deezer"_s, u"https://d.example/f.ico"_s);
        QVERIFY(!sites.faviconURL(Source::Deezer));
        // Text that is no URL is no favicon.
        sites.genericFavicons.insert(u"bad.example"_s, u"http://exa mple.com/ico"_s);
        sites.favicons.insert(u"com.vesper.web.pandora"_s, u"https://p.example/%zz"_s);
        QVERIFY(!sites.faviconURL(Source::generic(u"bad.example"_s)));
        QVERIFY(!sites.faviconURL(Source::Pandora));
    }

    void records()
    {
        // The bits are shared with the browser extension.
        QCOMPARE(NowPlayingInfo().capabilities.toInt(), 63);
        QCOMPARE(SourceCapabilities::fromInt(1 | 4 | 32),
                 SourceCapability::Previous | SourceCapability::Seek | SourceCapability::Repeat);

        NowPlayingInfo base;
        base.title = u"Song"_s;
        base.artist = u"Artist"_s;
        base.isPlaying = true;
        base.sourceId = u"com.vesper.web.tidal"_s;
        base.capabilities = SourceCapability::Next | SourceCapability::Like;
        using Change = std::function<void(NowPlayingInfo &)>;
        // Position, artwork, album and transport state do not make a new record.
        const QList<Change> same {
            [](NowPlayingInfo &i) { i.elapsedTime = 95.5; },
            [](NowPlayingInfo &i) { i.duration = 201; },
            [](NowPlayingInfo &i) { i.album = u"Another"_s; },
            [](NowPlayingInfo &i) { i.artwork = QImage(4, 4, QImage::Format_ARGB32); },
            [](NowPlayingInfo &i) { i.shuffle = true; },
            [](NowPlayingInfo &i) { i.repeatMode = RepeatMode::All; },
        };
        const QList<Change> different {
            [](NowPlayingInfo &i) { i.title = u"Song 2"_s; },
            [](NowPlayingInfo &i) { i.artist = u"Someone"_s; },
            [](NowPlayingInfo &i) { i.isPlaying = false; },
            [](NowPlayingInfo &i) { i.sourceId = u"com.vesper.web.deezer"_s; },
            [](NowPlayingInfo &i) { i.capabilities |= SourceCapability::Seek; },
        };
        for (qsizetype i = 0; i < same.size() + different.size(); ++i) {
            NowPlayingInfo changed = base;
            (i < same.size() ? same.at(i) : different.at(i - same.size()))(changed);
            QVERIFY2((changed == base) == (i < same.size()), qPrintable(QString::number(i)));
        }

        NowPlayingInfo info;
        for (const QString &unknown : { u"auto"_s, u"com.vesper.web.generic."_s }) {
            info.sourceId = unknown;
            QCOMPARE(info.source(), Source(Source::Unknown));
        }
        info.sourceId = u"com.vesper.web.generic.radio.example"_s;
        QCOMPARE(info.source(), Source::generic(u"radio.example"_s));

        const SourceListItem running { Source::Spotify, true, std::nullopt };
        SourceListItem other = running;
        other.statusNote = QString();
        QVERIFY(other != running);
    }

    void hotkeys()
    {
        // Stored bindings use macOS key codes, which follow the keyboard, not the alphabet.
        QStringList sample;
        for (quint32 code : { 0u, 11u, 23u, 22u, 126u, 125u, 36u, 117u, 42u, 118u, 111u, 105u })
            sample << Hotkey::keyName(code);
        QCOMPARE(sample.join(u' '), u"A B 5 6 ↑ ↓ ↩ ⌦ \\ F4 F12 Key105"_s);
        QCOMPARE(Hotkey::keyName(0xFFFFFFFFu), u"Key4294967295"_s);
        // 73 keys have names, each its own; all other codes are named by number.
        QSet<QString> names;
        for (quint32 code = 0; code < 256; ++code) {
            const QString name = Hotkey::keyName(code);
            if (name != u"Key"_s + QString::number(code))
                names.insert(name);
        }
        QCOMPARE(names.size(), 73);

        QCOMPARE((Hotkey { 49, 0 }.displayString()), u"Space"_s);
        const quint32 all = Hotkey::Command | Hotkey::Shift | Hotkey::Option | Hotkey::Control;
        QCOMPARE((Hotkey { 122, all }.displayString()), u"⌃⌥⇧⌘F1"_s);
        // Bits outside the four modifiers (e.g. Carbon's caps lock, 0x400) show nothing.
        QCOMPARE((Hotkey { 105, 0x400 | 0x1 | Hotkey::Option }.displayString()), u"⌥Key105"_s);
    }

    void hotkeyActions()
    {
        // The raw values key the stored bindings; the identifiers are the shortcut registry's.
        const QStringList raws { u"playPause"_s,  u"nextTrack"_s,    u"previousTrack"_s,
                                 u"toggleLike"_s, u"toggleLyrics"_s, u"togglePanel"_s };
        const QStringList defaults { u"⌃⌥P"_s, u"⌃⌥→"_s, u"⌃⌥←"_s, u"⌃⌥L"_s, u"⌃⌥K"_s, u"⌃⌥C"_s };
        const QList<HotkeyAction> all = HotkeyActions::all();
        QCOMPARE(all.size(), raws.size());
        QSet<QString> titles;
        for (qsizetype i = 0; i < all.size(); ++i) {
            const HotkeyAction action = all.at(i);
            QCOMPARE(HotkeyActions::rawValue(action), raws.at(i));
            QCOMPARE(HotkeyActions::fromRawValue(raws.at(i)), std::optional(action));
            QCOMPARE(HotkeyActions::identifier(action), quint32(i + 1));
            QCOMPARE(HotkeyActions::fromIdentifier(quint32(i + 1)), std::optional(action));
            QCOMPARE(HotkeyActions::defaultHotkey(action).modifiers, Hotkey::DefaultModifiers);
            QCOMPARE(HotkeyActions::defaultHotkey(action).displayString(), defaults.at(i));
            titles.insert(HotkeyActions::title(action));
        }
        QCOMPARE(titles.size(), all.size());
        QVERIFY(!HotkeyActions::fromRawValue(u"PlayPause"_s));
        QVERIFY(!HotkeyActions::fromIdentifier(0));
        QVERIFY(!HotkeyActions::fromIdentifier(7));
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
