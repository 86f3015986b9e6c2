#include "browser/BridgeProtocol.h"
#include "core/SettingsStore.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using namespace BridgeProtocol;

namespace {

// Throws, and so fails the test, when the text decodes as anything else.
template<typename T> T decodeAs(const QByteArray &utf8)
{
    return std::get<T>(decode(utf8).message.value());
}

WebPlayerState stateOf(const QByteArray &members)
{
    return decodeAs<State>("{\"type\":\"state\"," + members + '}').state;
}

QByteArray nested(int depth, const QByteArray &prefix = "{\"type\":\"state\",")
{
    return prefix + "\"x\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + '}';
}

QJsonArray parse(const char *text) { return QJsonDocument::fromJson(text).array(); }

// A message with an array of that many elements.
QByteArray array(int count)
{
    return "{\"type\":\"x\",\"a\":[" + QByteArray("1,").repeated(count - 1) + "1]}";
}

} // namespace

class TestBridgeProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusalsBeforeParsing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("malformed") << QByteArray("{\"type\":") << u"not valid JSON"_s;
        QTest::newRow("array") << QByteArray("[{\"type\":\"hello\"}]") << u"not a JSON object"_s;
        QTest::newRow("no type") << QByteArray("{\"version\":4}") << u"no string \"type\""_s;
        QTest::newRow("33 levels") << nested(32) << u"nested deeper than 32"_s;
        QTest::newRow("huge array") << array(1025) << u"an array longer than 1024"_s;
        QJsonObject wide { { u"type"_s, u"state"_s } };
        for (int i = 0; i < 1100; ++i)
            wide.insert(QString::number(i), i);
        QTest::newRow("huge object")
            << QJsonDocument(wide).toJson() << u"an object with more than 1024 members"_s;
        // An escaped backslash before a quote ends the string; the brackets after it count.
        QTest::newRow("after an escaped backslash")
            << nested(40, "{\"type\":\"state\",\"title\":\"a\\\\\",") << u"nested deeper"_s;
        // Real messages fit; brackets and commas inside strings are text, after an escaped
        // quote too.
        QTest::newRow("32 levels") << nested(31) << QString();
        QTest::newRow("1024 elements") << array(1024) << QString();
        QTest::newRow("brackets in a string")
            << "{\"type\":\"x\",\"t\":\"\\\"" + QByteArray(40, '[') + QByteArray(2000, ',') + "\"}"
            << QString();
    }
    void refusalsBeforeParsing()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reason);
        const Decoded decoded = decode(text);
        QCOMPARE(bool(decoded.message), reason.isEmpty());
        QVERIFY2(decoded.refusal.startsWith(reason), qPrintable(decoded.refusal));
    }

    void helloRule()
    {
        // JavaScript has one number type; 4.0 is the integer 4.
        for (const char *version : { "4", "4.0", "3", "4.5", "\"4\"", "1e300" }) {
            const QByteArray text = "{\"type\":\"hello\",\"version\":" + QByteArray(version) + '}';
            const bool four = text.contains(":4}") || text.contains(":4.0}");
            QVERIFY2(isAcceptableHello(*decode(text).message) == four, version);
        }
        QVERIFY(!isAcceptableHello(*decode(R"({"type":"state","version":4})").message));
        QCOMPARE(decodeAs<UnknownType>(R"({"type":"dance"})").type, u"dance"_s);
    }

    void stateValues()
    {
        const WebPlayerState odd = stateOf(R"("source":7,"title":["t"],"duration":"300",
            "position":-5,"isPlaying":"true","liked":true,"repeatMode":1.5,"supports":["next",3])");
        QCOMPARE(odd.source, u"ytmusic"_s);
        QVERIFY(odd.title.isEmpty() && odd.duration == 0 && odd.position == 0 && !odd.isPlaying);
        QVERIFY(odd.liked && odd.repeatMode == 0 && !odd.capabilities);
        const WebPlayerState full = stateOf(R"("position":1e12,"supports":["prev","next","x"])");
        QCOMPARE(full.position, 7 * 24 * 3600.0);
        QCOMPARE(full.capabilities, SourceCapability::Previous | SourceCapability::Next);

        // Text is cut without leaving half a surrogate pair; a URL too long is dropped whole.
        const QByteArray title = QByteArray(kMaxTextLength - 1, 'a') + "😀tail";
        const QByteArray url = QByteArray(kMaxURLLength + 1, 'x');
        const WebPlayerState cut
            = stateOf("\"title\":\"" + title + "\",\"artworkURL\":\"" + url + '"');
        QCOMPARE(cut.title, QString(kMaxTextLength - 1, u'a'));
        QVERIFY(cut.artworkURL.isEmpty());
    }

    void bridgeNames()
    {
        QCOMPARE(sourceFromBridgeName(u"generic:radio.example:8000"_s)->rawValue(),
                 u"com.vesper.web.generic.radio.example:8000"_s);
        for (const QString &none : { u"winamp"_s, u"generic:a\nb"_s, u"generic:a b"_s,
                                     QString(u"generic:"_s + QString(400, u'h')) })
            QVERIFY2(!sourceFromBridgeName(none), qPrintable(none));
    }

    void sourceDefinitions()
    {
        const QJsonArray array = parse(R"([{"id":"tidal","supportLevel":"partial"},
            {"id":"soundcloud","supportLevel":"limited","capabilities":["next","seek"]},
            {"id":"netease","supportLevel":"full","name":5}, "tidal"])");
        const QList<WebSourceDefinition> definitions = decodeSourceDefinitions(array);
        QCOMPARE(definitions.size(), 2);
        const WebSourceDefinition soundcloud { Source::SoundCloud, u"SoundCloud"_s, false,
                                               WebSupportLevel::Limited,
                                               SourceCapability::Next | SourceCapability::Seek };
        QCOMPARE(definitions[0], soundcloud);
        QCOMPARE(definitions[1].name, u"NetEase Cloud Music"_s);

        // A catalogue is taken only from an array of objects; the received array is kept whole.
        QJsonArray objects = array;
        objects.removeLast();
        const auto catalogue = catalogueFrom({ { u"sourceDefinitions"_s, objects } });
        QVERIFY(catalogue && catalogue->received == objects
                && catalogue->definitions == definitions);
        QVERIFY(!catalogueFrom({ { u"sourceDefinitions"_s, array } }));
    }

    void cacheReadsBackAsTheSameCatalogue()
    {
        // Settings hold no null and read a lone "$date" member back as a date; what is cached
        // must still decode to the catalogue that was received.
        const QJsonArray received = parse(R"([
            {"id":"deezer","supportLevel":"full","name":null,"extra":{"nested":[1,2]}},
            {"$date":"2024-01-01T00:00:00.000Z"},
            {"id":"tidal","supportLevel":"limited","capabilities":["next",null]},
            {"id":"bandcamp","supportLevel":"limited","note":{"$data":"AAAA"}},
            {"id":"pandora","supportLevel":"full"}
        ])");
        QTemporaryDir dir;
        const QString path = dir.filePath(u"defaults.json"_s);
        SettingsStore(path).setValue(u"cache"_s, cacheableDefinitions(received));
        const auto array = definitionsFromCache(SettingsStore(path).object(u"cache"_s));
        QVERIFY(array && array->size() == 2);
        const QList<WebSourceDefinition> fromCache = decodeSourceDefinitions(*array);
        QCOMPARE(fromCache[0].name, u"Deezer"_s);
        QCOMPARE(fromCache[1].app, Source(Source::Pandora));
        QVERIFY(!definitionsFromCache(QVariantList { QVariantMap(), u"x"_s }));
    }

    // The extension reads these exactly; member order is free. Log lines never carry outside
    // text as it came.
    void outgoingText()
    {
        QCOMPARE(serialize(commandMessage(u"seek"_s, 42.5, Source::generic(u"x.org"_s))),
                 R"({"action":"seek","source":"generic:x.org","type":"command","value":42.5})");
        // A number JSON cannot express is no message at all.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QVERIFY(!serialize(commandMessage(u"seek"_s, nan, Source::Tidal)));
        QVERIFY(serialize(commandMessage(u"seek"_s, 0, Source::Tidal)));

        QCOMPARE(logSafe(u"a\nVesper: forged"_s + QChar(7)), u"a\\u000aVesper: forged\\u0007"_s);
        QCOMPARE(logSafe(QString(300, u'x'), 10), QString(10, u'x') + u'…');
    }
};

QTEST_GUILESS_MAIN(TestBridgeProtocol)
#include "test_bridge_protocol.moc"
