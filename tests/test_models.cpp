#include "models/Hotkey.h"
#include "models/MusicApp.h"
#include "models/NowPlayingInfo.h"
#include "models/SourceCapabilities.h"
#include "models/SourceListItem.h"

#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(MusicApp::Kind)
Q_DECLARE_METATYPE(HotkeyAction)

class TestModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void dedicatedCaseStrings_data();
    void dedicatedCaseStrings();
    void genericRoundTrips();
    void unrecognisedNamesYieldNone_data();
    void unrecognisedNamesYieldNone();
    void equalityAndHashingByRawValue();
    void genericDisplayName();
    void faviconLookups();

    void capabilitiesDefaultToAll();
    void nowPlayingEquality();
    void nowPlayingSource();
    void sourceListItemEquality();

    void keyNames_data();
    void keyNames();
    void codesOutsideTheTableAreNamedByNumber();
    void displayString_data();
    void displayString();
    void hotkeyActions();
};

void TestModels::cleanup()
{
    MusicApp::genericSiteNames().clear();
    MusicApp::genericFaviconURLs().clear();
    MusicApp::webFaviconURLs().clear();
}

void TestModels::dedicatedCaseStrings_data()
{
    QTest::addColumn<MusicApp::Kind>("kind");
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("bridge"); // empty: none
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("native");

    QTest::newRow("spotify") << MusicApp::Spotify << u"com.spotify.client"_s << QString()
                             << u"Spotify"_s << true;
    QTest::newRow("appleMusic") << MusicApp::AppleMusic << u"com.apple.Music"_s << QString()
                                << u"Music"_s << true;
    QTest::newRow("youtubeMusic") << MusicApp::YoutubeMusic << u"com.vesper.web.ytmusic"_s
                                  << u"ytmusic"_s << u"YouTube Music"_s << false;
    QTest::newRow("youtube") << MusicApp::Youtube << u"com.vesper.web.youtube"_s << u"youtube"_s
                             << u"YouTube"_s << false;
    QTest::newRow("spotifyWeb") << MusicApp::SpotifyWeb << u"com.vesper.web.spotify"_s
                                << u"spotifyweb"_s << u"Spotify Web Player"_s << false;
    QTest::newRow("appleMusicWeb") << MusicApp::AppleMusicWeb << u"com.vesper.web.applemusic"_s
                                   << u"applemusicweb"_s << u"Apple Music Web"_s << false;
    QTest::newRow("soundCloud") << MusicApp::SoundCloud << u"com.vesper.web.soundcloud"_s
                                << u"soundcloud"_s << u"SoundCloud"_s << false;
    QTest::newRow("bandcamp") << MusicApp::Bandcamp << u"com.vesper.web.bandcamp"_s << u"bandcamp"_s
                              << u"Bandcamp"_s << false;
    QTest::newRow("tidal") << MusicApp::Tidal << u"com.vesper.web.tidal"_s << u"tidal"_s
                           << u"Tidal"_s << false;
    QTest::newRow("deezer") << MusicApp::Deezer << u"com.vesper.web.deezer"_s << u"deezer"_s
                            << u"Deezer"_s << false;
    QTest::newRow("netease") << MusicApp::Netease << u"com.vesper.web.netease"_s << u"netease"_s
                             << u"NetEase Cloud Music"_s << false;
    QTest::newRow("qqMusic") << MusicApp::QqMusic << u"com.vesper.web.qqmusic"_s << u"qqmusic"_s
                             << u"QQ Music"_s << false;
    QTest::newRow("amazonMusic") << MusicApp::AmazonMusic << u"com.vesper.web.amazonmusic"_s
                                 << u"amazonmusic"_s << u"Amazon Music"_s << false;
    QTest::newRow("pandora") << MusicApp::Pandora << u"com.vesper.web.pandora"_s << u"pandora"_s
                             << u"Pandora"_s << false;
    QTest::newRow("unknown") << MusicApp::Unknown << QString() << QString() << QString() << true;
}

void TestModels::dedicatedCaseStrings()
{
    QFETCH(MusicApp::Kind, kind);
    QFETCH(QString, raw);
    QFETCH(QString, bridge);
    QFETCH(QString, name);
    QFETCH(bool, native);

    const MusicApp app(kind);
    QCOMPARE(app.rawValue(), raw);
    QCOMPARE(app.displayName(), name);
    QCOMPARE(app.isNativeSource(), native);
    QVERIFY(app.host().isEmpty());

    const std::optional<MusicApp> fromRaw = MusicApp::fromRawValue(raw);
    QVERIFY(fromRaw);
    QCOMPARE(fromRaw->kind(), kind);

    if (bridge.isEmpty()) {
        QVERIFY(!app.bridgeSource());
    } else {
        QCOMPARE(app.bridgeSource(), std::optional<QString>(bridge));
        const std::optional<MusicApp> fromBridge = MusicApp::fromBridgeSource(bridge);
        QVERIFY(fromBridge);
        QCOMPARE(fromBridge->kind(), kind);
        // The two name spaces do not mix.
        QVERIFY(!MusicApp::fromRawValue(bridge));
    }
    if (!raw.isEmpty())
        QVERIFY(!MusicApp::fromBridgeSource(raw));

    QVERIFY(MusicApp::dedicatedCases().contains(app));
}

void TestModels::genericRoundTrips()
{
    const QString prefix = u"com.vesper.web.generic."_s;

    QVERIFY(!MusicApp::fromRawValue(prefix));
    QVERIFY(!MusicApp::fromBridgeSource(u"generic:"_s));

    // The remainder is taken verbatim, dots and "www." included.
    for (const QString &host : { u"x"_s, u"www.radio.example.org"_s, u"music.example.com"_s }) {
        const std::optional<MusicApp> fromRaw = MusicApp::fromRawValue(prefix + host);
        QVERIFY(fromRaw);
        QCOMPARE(fromRaw->kind(), MusicApp::Generic);
        QCOMPARE(fromRaw->host(), host);
        QCOMPARE(fromRaw->rawValue(), prefix + host);
        QVERIFY(!fromRaw->isNativeSource());

        const std::optional<MusicApp> fromBridge = MusicApp::fromBridgeSource(u"generic:"_s + host);
        QVERIFY(fromBridge);
        QCOMPARE(fromBridge->host(), host);
        QCOMPARE(fromBridge->bridgeSource(), std::optional<QString>(u"generic:"_s + host));
        QCOMPARE(*fromBridge, *fromRaw);
    }

    // Every case but Generic, in declaration order.
    QCOMPARE(MusicApp::dedicatedCases().size(), 15);
    QVERIFY(!MusicApp::dedicatedCases().contains(MusicApp::generic(u"x"_s)));
    QCOMPARE(MusicApp::dedicatedCases().first().kind(), MusicApp::Spotify);
    QCOMPARE(MusicApp::dedicatedCases().last().kind(), MusicApp::Unknown);
}

void TestModels::unrecognisedNamesYieldNone_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("auto") << u"auto"_s;
    QTest::newRow("case differs") << u"com.Spotify.client"_s;
    QTest::newRow("leading space") << u" com.spotify.client"_s;
    QTest::newRow("web prefix only") << u"com.vesper.web."_s;
    QTest::newRow("generic without dot") << u"com.vesper.web.generic"_s;
    QTest::newRow("desktop spotify") << u"spotify"_s;
    QTest::newRow("desktop music") << u"applemusic"_s;
    QTest::newRow("generic without colon") << u"generic"_s;
    QTest::newRow("generic, other case") << u"Generic:example.com"_s;
}

void TestModels::unrecognisedNamesYieldNone()
{
    QFETCH(QString, text);
    QVERIFY(!MusicApp::fromRawValue(text));
    QVERIFY(!MusicApp::fromBridgeSource(text));
}

void TestModels::equalityAndHashingByRawValue()
{
    QCOMPARE(MusicApp().kind(), MusicApp::Unknown);
    QCOMPARE(MusicApp(), MusicApp(MusicApp::Unknown));
    QCOMPARE(MusicApp::fromRawValue(QString()), std::optional<MusicApp>(MusicApp::Unknown));
    // The bridge has no name for "no source".
    QVERIFY(!MusicApp::fromBridgeSource(QString()));

    QCOMPARE(MusicApp::generic(u"a.com"_s), MusicApp::generic(u"a.com"_s));
    QVERIFY(MusicApp::generic(u"a.com"_s) != MusicApp::generic(u"www.a.com"_s));
    QVERIFY(MusicApp(MusicApp::Spotify) != MusicApp(MusicApp::SpotifyWeb));

    QSet<MusicApp> set { MusicApp::Spotify, MusicApp::generic(u"a.com"_s) };
    QVERIFY(set.contains(*MusicApp::fromRawValue(u"com.vesper.web.generic.a.com"_s)));
    QVERIFY(set.contains(*MusicApp::fromRawValue(u"com.spotify.client"_s)));
    QVERIFY(!set.contains(MusicApp::generic(u"b.com"_s)));
    set.insert(*MusicApp::fromBridgeSource(u"generic:a.com"_s));
    QCOMPARE(set.size(), 2);
}

void TestModels::genericDisplayName()
{
    QCOMPARE(MusicApp::generic(u"www.radio.example"_s).displayName(), u"radio.example"_s);
    QCOMPARE(MusicApp::generic(u"radio.example"_s).displayName(), u"radio.example"_s);
    // Only one leading "www." goes, and only as a whole label.
    QCOMPARE(MusicApp::generic(u"www.www.radio.example"_s).displayName(), u"www.radio.example"_s);
    QCOMPARE(MusicApp::generic(u"wwwradio.example"_s).displayName(), u"wwwradio.example"_s);
    QCOMPARE(MusicApp::generic(u"radio.www.example"_s).displayName(), u"radio.www.example"_s);
    // Stripping would leave nothing to show.
    QCOMPARE(MusicApp::generic(u"www."_s).displayName(), u"www."_s);

    auto &names = MusicApp::genericSiteNames();
    names.insert(u"www.radio.example"_s, QString());
    QCOMPARE(MusicApp::generic(u"www.radio.example"_s).displayName(), u"radio.example"_s);

    // The registry is keyed by the full host as the browser reports it.
    names.insert(u"radio.example"_s, u"Radio Example"_s);
    QCOMPARE(MusicApp::generic(u"www.radio.example"_s).displayName(), u"radio.example"_s);
    names.insert(u"www.radio.example"_s, u"Radio Example"_s);
    QCOMPARE(MusicApp::generic(u"www.radio.example"_s).displayName(), u"Radio Example"_s);

    // Dedicated cases keep their own names whatever the registry holds.
    names.insert(u"com.vesper.web.tidal"_s, u"Other"_s);
    QCOMPARE(MusicApp(MusicApp::Tidal).displayName(), u"Tidal"_s);
}

void TestModels::faviconLookups()
{
    MusicApp::genericFaviconURLs().insert(u"radio.example"_s, u"https://radio.example/icon.png"_s);
    MusicApp::webFaviconURLs().insert(u"com.vesper.web.tidal"_s, u"https://tidal.example/f.ico"_s);

    QCOMPARE(MusicApp::generic(u"radio.example"_s).faviconURL(),
             std::optional<QUrl>(QUrl(u"https://radio.example/icon.png"_s)));
    QCOMPARE(MusicApp(MusicApp::Tidal).faviconURL(),
             std::optional<QUrl>(QUrl(u"https://tidal.example/f.ico"_s)));

    QVERIFY(!MusicApp::generic(u"www.radio.example"_s).faviconURL());
    QVERIFY(!MusicApp(MusicApp::Deezer).faviconURL());
    QVERIFY(!MusicApp(MusicApp::Spotify).faviconURL());
    QVERIFY(!MusicApp().faviconURL());

    // Each kind of source looks only in its own registry.
    MusicApp::webFaviconURLs().insert(u"com.vesper.web.generic.other.example"_s,
                                      u"https://other.example/f.ico"_s);
    QVERIFY(!MusicApp::generic(u"other.example"_s).faviconURL());
    MusicApp::genericFaviconURLs().insert(u"com.vesper.web.deezer"_s, u"https://d.example/f.ico"_s);
    QVERIFY(!MusicApp(MusicApp::Deezer).faviconURL());

    MusicApp::genericFaviconURLs().insert(u"bad.example"_s, u"http://exa mple.com/ico"_s);
    QVERIFY(!MusicApp::generic(u"bad.example"_s).faviconURL());
    MusicApp::genericFaviconURLs().insert(u"empty.example"_s, QString());
    QVERIFY(!MusicApp::generic(u"empty.example"_s).faviconURL());
    MusicApp::webFaviconURLs().insert(u"com.vesper.web.pandora"_s, u"https://p.example/%zz"_s);
    QVERIFY(!MusicApp(MusicApp::Pandora).faviconURL());
}

void TestModels::capabilitiesDefaultToAll()
{
    QCOMPARE(allSourceCapabilities.toInt(), 63);
    QCOMPARE(NowPlayingInfo().capabilities, allSourceCapabilities);

    // The bits are shared with the browser extension.
    const SourceCapabilities fromExtension = SourceCapabilities::fromInt(1 | 4 | 32);
    QCOMPARE(fromExtension,
             SourceCapability::Previous | SourceCapability::Seek | SourceCapability::Repeat);
    QVERIFY(!fromExtension.testFlag(SourceCapability::Like));
}

void TestModels::nowPlayingEquality()
{
    NowPlayingInfo base;
    base.title = u"Song"_s;
    base.artist = u"Artist"_s;
    base.album = u"Album"_s;
    base.isPlaying = true;
    base.duration = 200;
    base.elapsedTime = 10;
    base.bundleID = u"com.vesper.web.tidal"_s;
    base.capabilities = SourceCapability::Next | SourceCapability::Like;

    // Position, artwork, album and transport state do not make a new record.
    NowPlayingInfo other = base;
    other.elapsedTime = 95.5;
    other.duration = 201;
    other.album = u"Another Album"_s;
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(Qt::red);
    other.artwork = image;
    other.shuffle = true;
    other.repeatMode = RepeatMode::All;
    QCOMPARE(other, base);

    other = base;
    other.title = u"Song 2"_s;
    QVERIFY(other != base);
    other = base;
    other.artist = u"Someone"_s;
    QVERIFY(other != base);
    other = base;
    other.isPlaying = false;
    QVERIFY(other != base);
    other = base;
    other.bundleID = u"com.vesper.web.deezer"_s;
    QVERIFY(other != base);
    other = base;
    other.capabilities |= SourceCapability::Seek;
    QVERIFY(other != base);

    QCOMPARE(NowPlayingInfo(), NowPlayingInfo());
}

void TestModels::nowPlayingSource()
{
    NowPlayingInfo info;
    QCOMPARE(info.source().kind(), MusicApp::Unknown);
    info.bundleID = u"auto"_s;
    QCOMPARE(info.source().kind(), MusicApp::Unknown);
    info.bundleID = u"com.vesper.web.generic."_s;
    QCOMPARE(info.source().kind(), MusicApp::Unknown);
    info.bundleID = u"com.spotify.client"_s;
    QCOMPARE(info.source(), MusicApp(MusicApp::Spotify));
    info.bundleID = u"com.vesper.web.generic.radio.example"_s;
    QCOMPARE(info.source(), MusicApp::generic(u"radio.example"_s));
}

void TestModels::sourceListItemEquality()
{
    const SourceListItem running { MusicApp::Spotify, true, std::nullopt };
    SourceListItem other = running;
    QCOMPARE(other, running);
    other.statusNote = QString();
    QVERIFY(other != running);
    other = { MusicApp::Spotify, false, u"Not Running"_s };
    QVERIFY(other != running);
    QCOMPARE(other.id(), running.id());
}

// Transcribed from the design's table, not from the implementation.
static const QList<QPair<quint32, QString>> &designKeyNames()
{
    static const QList<QPair<quint32, QString>> table {
        { 0, u"A"_s },        { 11, u"B"_s },       { 8, u"C"_s },        { 2, u"D"_s },
        { 14, u"E"_s },       { 3, u"F"_s },        { 5, u"G"_s },        { 4, u"H"_s },
        { 34, u"I"_s },       { 38, u"J"_s },       { 40, u"K"_s },       { 37, u"L"_s },
        { 46, u"M"_s },       { 45, u"N"_s },       { 31, u"O"_s },       { 35, u"P"_s },
        { 12, u"Q"_s },       { 15, u"R"_s },       { 1, u"S"_s },        { 17, u"T"_s },
        { 32, u"U"_s },       { 9, u"V"_s },        { 13, u"W"_s },       { 7, u"X"_s },
        { 16, u"Y"_s },       { 6, u"Z"_s },        { 29, u"0"_s },       { 18, u"1"_s },
        { 19, u"2"_s },       { 20, u"3"_s },       { 21, u"4"_s },       { 23, u"5"_s },
        { 22, u"6"_s },       { 26, u"7"_s },       { 28, u"8"_s },       { 25, u"9"_s },
        { 123, u"\u2190"_s }, { 124, u"\u2192"_s }, { 126, u"\u2191"_s }, { 125, u"\u2193"_s },
        { 49, u"Space"_s },   { 36, u"\u21A9"_s },  { 48, u"\u21E5"_s },  { 51, u"\u232B"_s },
        { 117, u"\u2326"_s }, { 115, u"\u2196"_s }, { 119, u"\u2198"_s }, { 116, u"\u21DE"_s },
        { 121, u"\u21DF"_s }, { 53, u"\u238B"_s },  { 27, u"-"_s },       { 24, u"="_s },
        { 33, u"["_s },       { 30, u"]"_s },       { 42, u"\\"_s },      { 41, u";"_s },
        { 39, u"'"_s },       { 43, u","_s },       { 47, u"."_s },       { 44, u"/"_s },
        { 50, u"`"_s },       { 122, u"F1"_s },     { 120, u"F2"_s },     { 99, u"F3"_s },
        { 118, u"F4"_s },     { 96, u"F5"_s },      { 97, u"F6"_s },      { 98, u"F7"_s },
        { 100, u"F8"_s },     { 101, u"F9"_s },     { 109, u"F10"_s },    { 103, u"F11"_s },
        { 111, u"F12"_s },
    };
    return table;
}

void TestModels::keyNames_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QString>("name");
    QCOMPARE(designKeyNames().size(), 73);
    for (const auto &[code, name] : designKeyNames())
        QTest::addRow("%u", code) << code << name;
}

void TestModels::keyNames()
{
    QFETCH(quint32, code);
    QFETCH(QString, name);
    QCOMPARE(Hotkey::keyName(code), name);
}

void TestModels::codesOutsideTheTableAreNamedByNumber()
{
    QSet<quint32> named;
    for (const auto &entry : designKeyNames())
        named.insert(entry.first);
    QCOMPARE(named.size(), 73);

    for (quint32 code = 0; code < 256; ++code) {
        if (!named.contains(code))
            QCOMPARE(Hotkey::keyName(code), u"Key"_s + QString::number(code));
    }
    QCOMPARE(Hotkey::keyName(105), u"Key105"_s);
    QCOMPARE(Hotkey::keyName(0xFFFFFFFFu), u"Key4294967295"_s);
}

void TestModels::displayString_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<quint32>("modifiers");
    QTest::addColumn<QString>("text");

    QTest::newRow("no modifiers") << 49u << 0u << u"Space"_s;
    QTest::newRow("default") << 35u << 6144u << u"\u2303\u2325P"_s;
    QTest::newRow("command only") << 0u << quint32(Hotkey::Command) << u"\u2318A"_s;
    QTest::newRow("all four, fixed order")
        << 122u << quint32(Hotkey::Command | Hotkey::Shift | Hotkey::Option | Hotkey::Control)
        << u"\u2303\u2325\u21E7\u2318F1"_s;
    QTest::newRow("shift and command")
        << 42u << quint32(Hotkey::Shift | Hotkey::Command) << u"\u21E7\u2318\\"_s;
    // Bits outside the four modifiers (e.g. Carbon's caps lock, 0x400) show nothing.
    QTest::newRow("unused bits") << 105u << quint32(0x400 | 0x1 | Hotkey::Option)
                                 << u"\u2325Key105"_s;
}

void TestModels::displayString()
{
    QFETCH(quint32, code);
    QFETCH(quint32, modifiers);
    QFETCH(QString, text);
    QCOMPARE((Hotkey { code, modifiers }.displayString()), text);
}

void TestModels::hotkeyActions()
{
    const QList<HotkeyAction> expectedOrder {
        HotkeyAction::PlayPause,  HotkeyAction::NextTrack,    HotkeyAction::PreviousTrack,
        HotkeyAction::ToggleLike, HotkeyAction::ToggleLyrics, HotkeyAction::TogglePanel
    };
    QCOMPARE(HotkeyActions::all(), expectedOrder);

    const QStringList raws { u"playPause"_s,  u"nextTrack"_s,    u"previousTrack"_s,
                             u"toggleLike"_s, u"toggleLyrics"_s, u"togglePanel"_s };
    const QStringList titles {
        u"Play / Pause"_s,  u"Next Track"_s,         u"Previous Track"_s,
        u"Like / Unlike"_s, u"Show / Hide Lyrics"_s, u"Show / Hide Vesper"_s
    };
    const QList<quint32> keyCodes { 35, 124, 123, 37, 40, 8 };
    const QStringList defaultTexts { u"\u2303\u2325P"_s,      u"\u2303\u2325\u2192"_s,
                                     u"\u2303\u2325\u2190"_s, u"\u2303\u2325L"_s,
                                     u"\u2303\u2325K"_s,      u"\u2303\u2325C"_s };

    for (qsizetype i = 0; i < expectedOrder.size(); ++i) {
        const HotkeyAction action = expectedOrder.at(i);
        QCOMPARE(HotkeyActions::rawValue(action), raws.at(i));
        QCOMPARE(HotkeyActions::fromRawValue(raws.at(i)), std::optional<HotkeyAction>(action));
        QCOMPARE(HotkeyActions::title(action), titles.at(i));
        QCOMPARE(HotkeyActions::identifier(action), quint32(i + 1));
        QCOMPARE(HotkeyActions::fromIdentifier(quint32(i + 1)),
                 std::optional<HotkeyAction>(action));

        const Hotkey hotkey = HotkeyActions::defaultHotkey(action);
        QCOMPARE(hotkey, (Hotkey { keyCodes.at(i), 6144 }));
        QCOMPARE(hotkey.displayString(), defaultTexts.at(i));
    }

    QVERIFY(!HotkeyActions::fromRawValue(u"PlayPause"_s));
    QVERIFY(!HotkeyActions::fromRawValue(QString()));
    QVERIFY(!HotkeyActions::fromIdentifier(0));
    QVERIFY(!HotkeyActions::fromIdentifier(7));
}

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
