#include "browser/BridgeProtocol.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

using namespace Qt::StringLiterals;

namespace BridgeProtocol {

namespace {

// No player reports a track longer than a week; larger numbers are noise.
constexpr double kMaxSeconds = 7 * 24 * 3600;

constexpr QLatin1StringView kType("type");

// Checked on the text before it is parsed: one pass without allocations, and the parser never
// sees nesting it would have to descend into. Commas outside strings separate the elements of
// the innermost open array or object.
std::optional<QString> boundsProblem(QByteArrayView text)
{
    struct Level
    {
        bool isArray;
        qsizetype commas;
    };
    std::array<Level, kMaxNesting> levels {};
    int depth = 0;
    const char *c = text.begin();
    const char *const end = text.end();
    for (; c < end; ++c) {
        switch (*c) {
        case '"':
            // Most of a message is string contents: jump from quote to quote. A quote after an
            // odd number of backslashes is part of the string.
            for (;;) {
                const auto *quote
                    = static_cast<const char *>(std::memchr(c + 1, '"', size_t(end - c - 1)));
                if (!quote)
                    return std::nullopt; // unterminated: the parser refuses it
                const char *backslash = quote;
                while (backslash > c + 1 && backslash[-1] == '\\')
                    --backslash;
                c = quote;
                if ((quote - backslash) % 2 == 0)
                    break;
            }
            break;
        case '[':
        case '{':
            if (depth == kMaxNesting)
                return u"nested deeper than %1 levels"_s.arg(kMaxNesting);
            levels[size_t(depth++)] = { *c == '[', 0 };
            break;
        case ']':
        case '}':
            if (depth > 0)
                --depth;
            break;
        case ',':
            if (depth > 0) {
                Level &level = levels[size_t(depth - 1)];
                if (level.isArray && ++level.commas >= kMaxArrayLength)
                    return u"an array longer than %1 elements"_s.arg(kMaxArrayLength);
                if (!level.isArray && ++level.commas >= kMaxObjectMembers)
                    return u"an object with more than %1 members"_s.arg(kMaxObjectMembers);
            }
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

// Cuts without splitting a surrogate pair, which would leave text that is no longer UTF-16.
QString cut(const QString &text, qsizetype maxLength)
{
    if (text.size() <= maxLength)
        return text;
    qsizetype length = maxLength;
    if (length > 0 && text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}

QString text(const QJsonValue &value)
{
    return value.isString() ? cut(value.toString(), kMaxTextLength) : QString();
}

QString url(const QJsonValue &value)
{
    if (!value.isString())
        return {};
    QString address = value.toString();
    // A URL cut short names something else, so an over-long one is dropped, not cut.
    return address.size() <= kMaxURLLength ? address : QString();
}

double seconds(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < 0)
        return 0;
    return std::min(number, kMaxSeconds);
}

bool boolean(const QJsonValue &value) { return value.isBool() && value.toBool(); }

std::optional<int> integer(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number
        || number < double(std::numeric_limits<int>::min())
        || number > double(std::numeric_limits<int>::max()))
        return std::nullopt;
    return int(number);
}

// The strings of an array that holds nothing else; none otherwise.
std::optional<QStringList> stringArray(const QJsonValue &value)
{
    if (!value.isArray())
        return std::nullopt;
    const QJsonArray array = value.toArray();
    QStringList strings;
    strings.reserve(array.size());
    for (const QJsonValue &element : array) {
        if (!element.isString())
            return std::nullopt;
        strings.append(element.toString());
    }
    return strings;
}

QSet<Source> sourceSet(const QJsonValue &value)
{
    QSet<Source> sources;
    if (const auto names = stringArray(value)) {
        for (const QString &name : *names) {
            if (const auto source = sourceFromBridgeName(name))
                sources.insert(*source);
        }
    }
    return sources;
}

SetupState setupFrom(const QJsonObject &message)
{
    SetupState setup;
    setup.completed = boolean(message.value("setupCompleted"_L1));
    if (const auto names = stringArray(message.value("selectedSources"_L1))) {
        for (const QString &name : *names) {
            if (const auto source = sourceFromBridgeName(name))
                setup.selectedSources.append(*source);
        }
    }
    return setup;
}

// Settings hold no null, and read a lone "$date" or "$data" member back as a date or data.
std::optional<QJsonValue> storable(const QJsonValue &value)
{
    if (value.isArray()) {
        QJsonArray copy;
        for (const QJsonValue &element : value.toArray()) {
            // Dropping an element would change what the array says, so the whole value goes.
            if (element.isNull())
                return std::nullopt;
            const auto stored = storable(element);
            if (!stored)
                return std::nullopt;
            copy.append(*stored);
        }
        return copy;
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        QJsonObject copy;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            // An absent member and a null one decode alike.
            if (it.value().isNull())
                continue;
            const auto stored = storable(it.value());
            if (!stored)
                return std::nullopt;
            copy.insert(it.key(), *stored);
        }
        if (copy.size() == 1
            && (copy.contains(QLatin1StringView("$date"))
                || copy.contains(QLatin1StringView("$data"))))
            return std::nullopt;
        return copy;
    }
    return value;
}

bool allNumbersFinite(const QJsonValue &value)
{
    if (value.isDouble())
        return std::isfinite(value.toDouble());
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::all_of(array.begin(), array.end(),
                           [](const QJsonValue &element) { return allNumbersFinite(element); });
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (!allNumbersFinite(it.value()))
                return false;
        }
    }
    return true;
}

Decoded refused(const QString &reason) { return { std::nullopt, reason }; }

} // namespace

Decoded decode(const QByteArray &utf8)
{
    if (const auto problem = boundsProblem(utf8))
        return refused(*problem);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(utf8, &error);
    if (error.error != QJsonParseError::NoError)
        return refused(
            u"not valid JSON (%1 at offset %2)"_s.arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return refused(u"not a JSON object"_s);
    const QJsonObject message = document.object();
    const QJsonValue typeValue = message.value(kType);
    if (!typeValue.isString())
        return refused(u"no string \"type\""_s);

    const QString type = typeValue.toString();
    if (type == u"hello")
        return { Hello { integer(message.value("version"_L1)), catalogueFrom(message),
                         setupFrom(message) },
                 {} };
    if (type == u"configured")
        return { Configured { catalogueFrom(message), setupFrom(message) }, {} };
    if (type == u"presence")
        return { Presence { sourceSet(message.value("sources"_L1)) }, {} };
    if (type == u"pages")
        return { Pages { sourceSet(message.value("sources"_L1)) }, {} };
    if (type == u"state")
        return { State { decodeState(message) }, {} };
    if (type == u"bye")
        return { Bye {}, {} };
    return { UnknownType { cut(type, 64) }, {} };
}

bool isAcceptableHello(const Message &message)
{
    const Hello *hello = std::get_if<Hello>(&message);
    return hello && hello->version == kVersion;
}

std::optional<Source> sourceFromBridgeName(const QString &name)
{
    if (name.size() > kMaxBridgeNameLength)
        return std::nullopt;
    for (const QChar c : name) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return std::nullopt;
    }
    return Source::fromBridgeSource(name);
}

SourceCapabilities capabilitiesFromControlWords(const QJsonValue &words)
{
    if (!words.isArray())
        return {};
    SourceCapabilities capabilities;
    const QJsonArray array = words.toArray();
    for (const QJsonValue &element : array) {
        if (!element.isString())
            return {};
        const QString word = element.toString();
        if (word == "prev"_L1 || word == "previous"_L1)
            capabilities |= SourceCapability::Previous;
        else if (word == "next"_L1)
            capabilities |= SourceCapability::Next;
        else if (word == "seek"_L1)
            capabilities |= SourceCapability::Seek;
        else if (word == "like"_L1)
            capabilities |= SourceCapability::Like;
        else if (word == "shuffle"_L1)
            capabilities |= SourceCapability::Shuffle;
        else if (word == "repeat"_L1)
            capabilities |= SourceCapability::Repeat;
    }
    return capabilities;
}

std::optional<WebSourceDefinition> decodeSourceDefinition(const QJsonObject &object)
{
    const QJsonValue id = object.value("id"_L1);
    if (!id.isString())
        return std::nullopt;
    const auto app = sourceFromBridgeName(id.toString());
    if (!app)
        return std::nullopt;
    const QJsonValue level = object.value("supportLevel"_L1);
    const auto supportLevel
        = level.isString() ? webSupportLevelFromRawValue(level.toString()) : std::nullopt;
    if (!supportLevel)
        return std::nullopt;

    WebSourceDefinition definition;
    definition.app = *app;
    const QJsonValue name = object.value("name"_L1);
    definition.name = name.isString() ? cut(name.toString(), kMaxTextLength) : app->displayName();
    definition.isGeneric = object.value("kind"_L1) == QJsonValue(u"generic"_s);
    definition.supportLevel = *supportLevel;
    definition.capabilities = capabilitiesFromControlWords(object.value("capabilities"_L1));
    return definition;
}

QList<WebSourceDefinition> decodeSourceDefinitions(const QJsonArray &array)
{
    QList<WebSourceDefinition> definitions;
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            continue;
        if (auto definition = decodeSourceDefinition(element.toObject()))
            definitions.append(*definition);
    }
    return definitions;
}

std::optional<Catalogue> catalogueFrom(const QJsonObject &message)
{
    const QJsonValue value = message.value("sourceDefinitions"_L1);
    if (!value.isArray())
        return std::nullopt;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return std::nullopt;
    }
    return Catalogue { array, decodeSourceDefinitions(array) };
}

QVariantList cacheableDefinitions(const QJsonArray &received)
{
    QVariantList list;
    for (const QJsonValue &element : received) {
        if (!element.isObject())
            continue;
        if (const auto stored = storable(element))
            list.append(stored->toObject().toVariantMap());
    }
    return list;
}

std::optional<QJsonArray> definitionsFromCache(const QVariant &cached)
{
    if (cached.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    QJsonArray array;
    for (const QVariant &element : cached.toList()) {
        if (element.typeId() != QMetaType::QVariantMap)
            return std::nullopt;
        array.append(QJsonObject::fromVariantMap(element.toMap()));
    }
    return array;
}

WebPlayerState decodeState(const QJsonObject &message)
{
    // One pass over the members rather than a look-up per field: every open player reports
    // its state about once a second, and this is most of the work of taking one in.
    WebPlayerState state;
    for (auto it = message.constBegin(), end = message.constEnd(); it != end; ++it) {
        const QString key = it.key();
        const QJsonValue value = it.value();
        if (key == "source"_L1) {
            if (value.isString())
                state.source = value.toString();
        } else if (key == "title"_L1) {
            state.title = text(value);
        } else if (key == "artist"_L1) {
            state.artist = text(value);
        } else if (key == "album"_L1) {
            state.album = text(value);
        } else if (key == "artworkURL"_L1) {
            state.artworkURL = url(value);
        } else if (key == "duration"_L1) {
            state.duration = seconds(value);
        } else if (key == "position"_L1) {
            state.position = seconds(value);
        } else if (key == "isPlaying"_L1) {
            state.isPlaying = boolean(value);
        } else if (key == "shuffle"_L1) {
            state.shuffle = boolean(value);
        } else if (key == "repeatMode"_L1) {
            state.repeatMode = integer(value).value_or(0);
        } else if (key == "liked"_L1) {
            state.liked = boolean(value);
        } else if (key == "supports"_L1) {
            state.capabilities = capabilitiesFromControlWords(value);
        } else if (key == "siteName"_L1) {
            state.siteName = text(value);
        } else if (key == "faviconURL"_L1) {
            state.faviconURL = url(value);
        }
    }
    return state;
}

QString stateSignature(const WebPlayerState &state)
{
    return state.title + u'|' + (state.isPlaying ? u"true"_s : u"false"_s) + u'|'
        + QString::number(state.capabilities.toInt());
}

QJsonObject commandMessage(const QString &action, std::optional<double> value, const Source &target)
{
    QJsonObject message { { kType, u"command"_s }, { u"action"_s, action } };
    if (const auto source = target.bridgeSource())
        message.insert(u"source"_s, *source);
    if (value)
        message.insert(u"value"_s, *value);
    return message;
}

std::optional<QJsonObject> learnMessage(const Source &source)
{
    if (source.kind() != Source::Generic)
        return std::nullopt;
    return QJsonObject { { kType, u"learn"_s }, { u"source"_s, *source.bridgeSource() } };
}

std::optional<QJsonObject> openMessage(const Source &source)
{
    const auto name = source.bridgeSource();
    if (!name)
        return std::nullopt;
    return QJsonObject { { kType, u"open"_s }, { u"source"_s, *name } };
}

QJsonObject manageMessage() { return QJsonObject { { kType, u"manage"_s } }; }

std::optional<QByteArray> serialize(const QJsonObject &message)
{
    if (!allNumbersFinite(message))
        return std::nullopt;
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

QString logSafe(const QString &text, qsizetype maxLength)
{
    const bool tooLong = text.size() > maxLength;
    const QString shown = cut(text, maxLength);
    QString safe;
    safe.reserve(shown.size() + 1);
    for (const QChar c : shown) {
        // A control character could forge or break up a log line.
        if (c.category() == QChar::Other_Control)
            safe += u"\\u%1"_s.arg(uint(c.unicode()), 4, 16, QChar(u'0'));
        else
            safe += c;
    }
    if (tooLong)
        safe += u'…';
    return safe;
}

} // namespace BridgeProtocol
