#include "browser/BridgeProtocol.h"
#include "core/SettingsStore.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using namespace BridgeProtocol;

namespace {

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonArray parseArray(const char *text) { return QJsonDocument::fromJson(text).array(); }

template<typename T> T decodeAs(const QByteArray &utf8)
{
    const Decoded decoded = decode(utf8);
    if (!decoded.message || !std::holds_alternative<T>(*decoded.message)) {
        qWarning() << "decoded as something else:" << decoded.refusal;
        return T {};
    }
    return std::get<T>(*decoded.message);
}

QByteArray nested(int depth)
{
    return "{\"type\":\"state\",\"x\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + '}';
}

} // namespace

class TestBridgeProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Source::genericSiteNames().clear(); }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("malformed") << QByteArray("{\"type\":") << u"not valid JSON"_s;
        QTest::newRow("array") << QByteArray("[{\"type\":\"hello\"}]") << u"not a JSON object"_s;
        QTest::newRow("no type") << QByteArray("{\"version\":4}") << u"no string \"type\""_s;
        QTest::newRow("deep nesting") << nested(40) << u"nested deeper than 32"_s;
        QTest::newRow("huge array")
            << json({ { u"type"_s, u"presence"_s },
                      { u"sources"_s, QJsonArray::fromStringList(QStringList(2000, u"x"_s)) } })
            << u"an array longer than 1024"_s;
        QJsonObject wide { { u"type"_s, u"state"_s } };
        for (int i = 0; i < 1100; ++i)
            wide.insert(QString::number(i), i);
        QTest::newRow("huge object") << json(wide) << u"an object with more than 1024 members"_s;
    }
    void refusals()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reason);
        const Decoded decoded = decode(text);
        QVERIFY(!decoded.message);
        QVERIFY2(decoded.refusal.startsWith(reason), qPrintable(decoded.refusal));
    }

    void boundsLeaveRoomForRealMessages()
    {
        QVERIFY(decode(nested(30)).message);
        QJsonArray sources;
        for (int i = 0; i < 1024; ++i)
            sources.append(u"generic:site%1.example"_s.arg(i));
        QCOMPARE(
            decodeAs<Presence>(json({ { u"type"_s, u"presence"_s }, { u"sources"_s, sources } }))
                .sources.size(),
            1024);

        // Brackets and commas inside strings are text, escaped quotes included; an escaped
        // backslash before a quote ends the string.
        const QByteArray brackets = QByteArray(40, '[') + QByteArray(2000, ',');
        const auto state
            = decodeAs<State>("{\"type\":\"state\",\"title\":\"a\\\"" + brackets + "\"}");
        QCOMPARE(state.state.title,
                 u"a\""_s + QString::fromLatin1(brackets).left(kMaxTextLength - 2));
        QVERIFY(!decode("{\"type\":\"state\",\"title\":\"a\\\\\"," + nested(40).mid(1)).message);
    }

    void helloRule()
    {
        // JavaScript has one number type; 4.0 is the integer 4.
        const std::pair<const char *, bool> hellos[]
            = { { R"({"type":"hello","version":4})", true },
                { R"({"type":"hello","version":4.0})", true },
                { R"({"type":"hello","version":3})", false },
                { R"({"type":"hello","version":4.5})", false },
                { R"({"type":"hello","version":"4"})", false },
                { R"({"type":"hello","version":1e300})", false },
                { R"({"type":"state","version":4})", false } };
        for (const auto &[text, acceptable] : hellos)
            QVERIFY2(isAcceptableHello(*decode(text).message) == acceptable, text);
        QCOMPARE(decodeAs<UnknownType>(R"({"type":"dance"})").type, u"dance"_s);
    }

    void stateValues()
    {
        const WebPlayerState odd = decodeAs<State>(R"({"type":"state","source":7,"title":["t"],
            "artist":"A","duration":"300","position":-5,"isPlaying":"true","shuffle":1,
            "repeatMode":1.5,"liked":true,"supports":["next",3],"faviconURL":{}})")
                                       .state;
        QCOMPARE(odd.source, u"ytmusic"_s);
        QCOMPARE(odd.title, QString());
        QCOMPARE(odd.artist, u"A"_s);
        QCOMPARE(odd.duration, 0.0);
        QCOMPARE(odd.position, 0.0); // a negative position is no position
        QVERIFY(!odd.isPlaying && !odd.shuffle && odd.liked);
        QCOMPARE(odd.repeatMode, 0);
        QCOMPARE(odd.capabilities, SourceCapabilities()); // not an array of strings

        const WebPlayerState full = decodeAs<State>(R"({"type":"state","source":"soundcloud",
            "duration":215.5,"position":1e12,"repeatMode":2,
            "supports":["previous","prev","next","dance","seek","seek"]})")
                                        .state;
        QCOMPARE(full.source, u"soundcloud"_s);
        QCOMPARE(full.duration, 215.5);
        QCOMPARE(full.position, 7 * 24 * 3600.0);
        QCOMPARE(full.repeatMode, 2);
        QCOMPARE(full.capabilities,
                 SourceCapability::Previous | SourceCapability::Next | SourceCapability::Seek);

        // An emoji straddling the cut must not leave half a surrogate pair behind.
        const QString title = QString(kMaxTextLength - 1, u'a') + u"😀tail"_s;
        const QString longURL = u"https://example.com/"_s + QString(kMaxURLLength, u'x');
        const WebPlayerState cut = decodeAs<State>(json({ { u"type"_s, u"state"_s },
                                                          { u"title"_s, title },
                                                          { u"artworkURL"_s, longURL },
                                                          { u"faviconURL"_s, u"data:x"_s } }))
                                       .state;
        QCOMPARE(cut.title, QString(kMaxTextLength - 1, u'a'));
        QCOMPARE(cut.artworkURL, QString());
        QCOMPARE(cut.faviconURL, u"data:x"_s);
    }

    void bridgeNames()
    {
        QCOMPARE(sourceFromBridgeName(u"bandcamp"_s)->rawValue(), u"com.vesper.web.bandcamp"_s);
        QCOMPARE(sourceFromBridgeName(u"generic:radio.example:8000"_s)->rawValue(),
                 u"com.vesper.web.generic.radio.example:8000"_s);
        for (const QString &none : { u"winamp"_s, u"generic:a\nb"_s, u"generic:a b"_s,
                                     QString(u"generic:"_s + QString(400, u'h')) })
            QVERIFY2(!sourceFromBridgeName(none), qPrintable(none));
    }

    void presenceAndSetup()
    {
        const auto presence = decodeAs<Presence>(
            R"({"type":"presence","sources":["ytmusic","nope","generic:x.org","ytmusic"]})");
        QCOMPARE(presence.sources,
                 (QSet<Source> { Source::YoutubeMusic, Source::generic(u"x.org"_s) }));
        QVERIFY(decodeAs<Pages>(R"({"type":"pages","sources":["ytmusic",1]})").sources.isEmpty());

        const auto configured = decodeAs<Configured>(R"({"type":"configured","setupCompleted":true,
                "selectedSources":["ytmusic","not-a-site","soundcloud"]})");
        QVERIFY(configured.setup.completed);
        QCOMPARE(configured.setup.selectedSources,
                 (QList<Source> { Source::YoutubeMusic, Source::SoundCloud }));
        QVERIFY(!configured.catalogue);
        const auto hello = decodeAs<Hello>(R"({"type":"hello","version":4,
            "setupCompleted":"yes","selectedSources":"ytmusic"})");
        QVERIFY(!hello.setup.completed);
        QVERIFY(hello.setup.selectedSources.isEmpty());
    }

    void sourceDefinitions()
    {
        const QJsonArray array = parseArray(R"([
            {"id":"ytmusic","supportLevel":"partial"},
            {"id":"soundcloud","supportLevel":"full","capabilities":["next","seek"]},
            {"id":"generic:radio.example","supportLevel":"limited","kind":"generic",
             "name":"Radio X","capabilities":["next","previous"]},
            {"id":"netease","supportLevel":"full","name":5},
            {"id":"winamp","supportLevel":"full"},
            {"supportLevel":"full"},
            "soundcloud"
        ])");
        const QList<WebSourceDefinition> definitions = decodeSourceDefinitions(array);
        QCOMPARE(definitions.size(), 3);
        QCOMPARE(definitions[0],
                 (WebSourceDefinition { Source::SoundCloud, u"SoundCloud"_s, false,
                                        WebSupportLevel::Full,
                                        SourceCapability::Next | SourceCapability::Seek }));
        QCOMPARE(definitions[1],
                 (WebSourceDefinition { Source::generic(u"radio.example"_s), u"Radio X"_s, true,
                                        WebSupportLevel::Limited,
                                        SourceCapability::Previous | SourceCapability::Next }));
        QCOMPARE(definitions[2].name, u"NetEase Cloud Music"_s);

        // A catalogue is taken only from an array of objects; the received array is kept whole.
        QJsonArray objects = array;
        objects.removeLast();
        const auto catalogue = catalogueFrom({ { u"sourceDefinitions"_s, objects } });
        QVERIFY(catalogue);
        QCOMPARE(catalogue->received, objects);
        QCOMPARE(catalogue->definitions, definitions);
        QVERIFY(!catalogueFrom({ { u"sourceDefinitions"_s, array } }));
        QVERIFY(!catalogueFrom({ { u"sourceDefinitions"_s, u"all"_s } }));
        QVERIFY(catalogueFrom({ { u"sourceDefinitions"_s, QJsonArray() } }));
    }

    void cacheReadsBackAsTheSameCatalogue()
    {
        // Settings hold no null and read a lone "$date" member back as a date; what is cached
        // must still decode to the catalogue that was received.
        const QJsonArray received = parseArray(R"([
            {"id":"deezer","supportLevel":"full","name":null,"extra":{"nested":[1,2]}},
            {"$date":"2024-01-01T00:00:00.000Z"},
            {"id":"tidal","supportLevel":"limited","capabilities":["next",null]},
            {"id":"bandcamp","supportLevel":"limited","note":{"$data":"AAAA"}},
            {"id":"pandora","supportLevel":"full","count":3}
        ])");
        QTemporaryDir dir;
        const QString path = dir.filePath(u"defaults.json"_s);
        SettingsStore(path).setValue(u"cache"_s, cacheableDefinitions(received));
        const auto array = definitionsFromCache(SettingsStore(path).object(u"cache"_s));
        QVERIFY(array);
        QCOMPARE(array->size(), 2);
        const QList<WebSourceDefinition> fromCache = decodeSourceDefinitions(*array);
        QCOMPARE(fromCache.size(), 2);
        QCOMPARE(fromCache[0].app, Source(Source::Deezer));
        QCOMPARE(fromCache[0].name, u"Deezer"_s);
        QCOMPARE(fromCache[1].app, Source(Source::Pandora));
        QCOMPARE(array->at(0).toObject().value(u"extra"_s).toObject().value(u"nested"_s),
                 QJsonValue(QJsonArray { 1, 2 }));

        QVERIFY(!definitionsFromCache(QVariantList { QVariantMap(), u"x"_s }));
        QVERIFY(!definitionsFromCache(u"text"_s));
    }

    // The extension reads these exactly; member order is free.
    void outgoingMessages()
    {
        QCOMPARE(
            json(commandMessage(u"seek"_s, 42.5, Source::SoundCloud)),
            QByteArray(R"({"action":"seek","source":"soundcloud","type":"command","value":42.5})"));
        QCOMPARE(json(commandMessage(u"next"_s, std::nullopt, Source::Spotify)),
                 QByteArray(R"({"action":"next","type":"command"})"));
        QCOMPARE(
            commandMessage(u"play"_s, std::nullopt, Source::generic(u"x.org"_s)).value(u"source"_s),
            QJsonValue(u"generic:x.org"_s));
        QVERIFY(!learnMessage(Source::YoutubeMusic));
        QVERIFY(!openMessage(Source::AppleMusic));
        QCOMPARE(json(*openMessage(Source::Tidal)),
                 QByteArray(R"({"source":"tidal","type":"open"})"));

        QVERIFY(!serialize(
            commandMessage(u"seek"_s, std::numeric_limits<double>::quiet_NaN(), Source::Tidal)));
        QVERIFY(!serialize({ { u"a"_s, QJsonArray { std::numeric_limits<double>::infinity() } } }));
        QVERIFY(serialize(commandMessage(u"seek"_s, 0, Source::Tidal)));

        QCOMPARE(logSafe(u"a\nVesper: forged"_s + QChar(7)), u"a\\u000aVesper: forged\\u0007"_s);
        QCOMPARE(logSafe(QString(300, u'x'), 10), QString(10, u'x') + u'…');
    }
};

QTEST_GUILESS_MAIN(TestBridgeProtocol)
#include "test_bridge_protocol.moc"
