#pragma once

#include "models/Source.h"
#include "models/WebPlayerState.h"
#include "models/WebSourceDefinition.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QVariantList>

#include <optional>
#include <variant>

// The messages the browser extension and Vesper exchange, as pure functions: JSON text in,
// decoded message out, and the messages Vesper sends. Nothing here touches a socket or a service.
namespace BridgeProtocol {

inline constexpr int kVersion = 4;

// Bounds on what a message may hold. A real hello carries a few dozen definitions, a few levels
// deep; these leave ample room and keep a hostile message from costing more than its parse.
inline constexpr qsizetype kMaxArrayLength = 1024;
inline constexpr qsizetype kMaxObjectMembers = 1024;
inline constexpr int kMaxNesting = 32;
// Texts shown to the user are cut here, as desktop players' texts are.
inline constexpr qsizetype kMaxTextLength = 1024;
// Artwork may come as a data: URL; anything longer than this is no image a player would send.
inline constexpr qsizetype kMaxURLLength = 256 * 1024;
// "generic:" and a host name of at most 253 characters, with room for a port.
inline constexpr qsizetype kMaxBridgeNameLength = 300;

// The setup the user made in the extension.
struct SetupState
{
    bool completed = false;
    QList<Source> selectedSources;
};

// A catalogue as received: the array exactly as sent, and the entries that decode.
struct Catalogue
{
    QJsonArray received;
    QList<WebSourceDefinition> definitions;
};

struct Hello
{
    std::optional<int> version; // none when "version" is not an integer
    std::optional<Catalogue> catalogue; // none: keep the catalogue in force
    SetupState setup;
};

struct Configured
{
    std::optional<Catalogue> catalogue;
    SetupState setup;
};

struct Presence
{
    QSet<Source> sources;
};

struct Pages
{
    QSet<Source> sources;
};

struct State
{
    WebPlayerState state;
};

struct Bye
{
};

struct UnknownType
{
    QString type;
};

using Message = std::variant<Hello, Configured, Presence, Pages, State, Bye, UnknownType>;

// Either a message or the reason it was refused.
struct Decoded
{
    std::optional<Message> message;
    QString refusal; // empty when a message was decoded
};

// Decodes one text message (UTF-8). Refused: text that is not a JSON object, an object without
// a string "type", and JSON beyond the bounds above. Members of the wrong type take their
// fallback values; an unknown type decodes as UnknownType.
Decoded decode(const QByteArray &utf8);

// The only first message a connection may send.
bool isAcceptableHello(const Message &message);

// The source a bridge name names; none for names that are too long, contain spaces or control
// characters, or name no source.
std::optional<Source> sourceFromBridgeName(const QString &name);

// The controls named by an array of control words; empty unless the value is an array of
// strings. Unknown words are ignored.
SourceCapabilities capabilitiesFromControlWords(const QJsonValue &words);

// One catalogue entry; none when "id" names no source or "supportLevel" is not a level.
std::optional<WebSourceDefinition> decodeSourceDefinition(const QJsonObject &object);
// The entries of an array that decode, in order; other elements are skipped.
QList<WebSourceDefinition> decodeSourceDefinitions(const QJsonArray &array);
// The catalogue of a hello or configured message: none unless "sourceDefinitions" is an array
// of objects.
std::optional<Catalogue> catalogueFrom(const QJsonObject &message);

// What is written to the settings for a received catalogue: its elements as they were sent,
// leaving out null members (settings hold no null) and any element that would not read back as
// the same dictionary. Reading the result back decodes to the same entries.
QVariantList cacheableDefinitions(const QJsonArray &received);
// The catalogue in the settings, none when the value is not a list of dictionaries.
std::optional<QJsonArray> definitionsFromCache(const QVariant &cached);

// The state of a "state" message, every member taking its fallback when missing or ill-typed.
WebPlayerState decodeState(const QJsonObject &message);

// What de-duplicates the "state received" log line: title, play state and controls.
QString stateSignature(const WebPlayerState &state);

// Messages Vesper sends.
QJsonObject commandMessage(const QString &action, std::optional<double> value,
                           const Source &target);
// None for every source but a generic site.
std::optional<QJsonObject> learnMessage(const Source &source);
// None for a source without a bridge name.
std::optional<QJsonObject> openMessage(const Source &source);
QJsonObject manageMessage();

// The compact JSON text of a message; none when it holds a number JSON cannot express.
std::optional<QByteArray> serialize(const QJsonObject &message);

// Text from outside made fit for a log line: control characters escaped, cut after maxLength.
QString logSafe(const QString &text, qsizetype maxLength = 256);

} // namespace BridgeProtocol
