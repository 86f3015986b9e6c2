#include "core/SettingsStore.h"

#include "core/DamagedFile.h"
#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {
const QString kDateMember = u"$date"_s;
const QString kDataMember = u"$data"_s;

// Far above any real domain (a full scrobble queue is about 100 KB); a larger file is not ours.
constexpr qint64 kMaxFileSize = 32 * 1024 * 1024;
// Doubles hold every integer up to 2^53 exactly.
constexpr double kMaxExactInteger = 9007199254740992.0;

std::optional<QString> wrappedString(const QJsonValue &stored, const QString &member)
{
    if (!stored.isObject())
        return std::nullopt;
    const QJsonObject object = stored.toObject();
    if (object.size() != 1 || !object.value(member).isString())
        return std::nullopt;
    return object.value(member).toString();
}

std::optional<QDateTime> storedDate(const QJsonValue &stored)
{
    const auto text = wrappedString(stored, kDateMember);
    if (!text)
        return std::nullopt;
    QDateTime date = QDateTime::fromString(*text, Qt::ISODateWithMs);
    if (!date.isValid())
        return std::nullopt;
    return date.toUTC();
}

std::optional<QByteArray> storedData(const QJsonValue &stored)
{
    const auto text = wrappedString(stored, kDataMember);
    if (!text)
        return std::nullopt;
    auto decoded
        = QByteArray::fromBase64Encoding(text->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

std::optional<qint64> storedInteger(const QJsonValue &stored)
{
    if (!stored.isDouble())
        return std::nullopt;
    const QVariant number = stored.toVariant();
    if (number.typeId() == QMetaType::LongLong)
        return number.toLongLong();
    const double value = stored.toDouble();
    if (!std::isfinite(value) || std::floor(value) != value || std::fabs(value) > kMaxExactInteger)
        return std::nullopt;
    return qint64(value);
}
} // namespace

QString SettingsStore::standardFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + u"/vesper/defaults.json"_s;
}

SettingsStore::SettingsStore(const QString &filePath, QObject *parent)
    : QObject(parent), m_filePath(filePath)
{
    load();
}

void SettingsStore::load()
{
    QFile file(m_filePath);
    if (!file.exists())
        return;
    if (file.size() > kMaxFileSize) {
        setAside(u"it is larger than %1 bytes"_s.arg(kMaxFileSize));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        // We cannot see what it holds, so we must not replace it either.
        m_canSave = false;
        plainLog(u"Vesper: cannot read settings file %1 (%2); changes will not be saved"_s.arg(
            m_filePath, file.errorString()));
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError) {
        setAside(u"%1 at offset %2"_s.arg(error.errorString()).arg(error.offset));
        return;
    }
    if (!document.isObject()) {
        setAside(u"it is not a JSON object"_s);
        return;
    }
    m_domain = document.object();
}

void SettingsStore::setAside(const QString &reason)
{
    if (const auto asideName = setAsideDamagedFile(m_filePath)) {
        plainLog(u"Vesper: settings file %1 is damaged (%2); kept as %3, starting from empty "
                 "settings"_s.arg(m_filePath, reason, *asideName));
    } else {
        m_canSave = false;
        plainLog(u"Vesper: settings file %1 is damaged (%2) and cannot be set aside; changes "
                 "will not be saved"_s.arg(m_filePath, reason));
    }
}

void SettingsStore::save()
{
    if (!m_canSave)
        return;
    // The file holds the listening history and account names: it is the user's alone, as the
    // secrets are. A linked folder belongs to whoever linked it and is left as it is.
    const QString folder = QFileInfo(m_filePath).path();
    QDir().mkpath(folder);
    if (!QFileInfo(folder).isSymLink())
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        plainLog(u"Vesper: cannot save settings to %1: %2"_s.arg(m_filePath, file.errorString()));
        return;
    }
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    file.write(QJsonDocument(m_domain).toJson(QJsonDocument::Indented));
    if (!file.commit())
        plainLog(u"Vesper: cannot save settings to %1: %2"_s.arg(m_filePath, file.errorString()));
}

std::optional<QJsonValue> SettingsStore::toStored(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return QJsonValue(value.toLongLong());
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong number = value.toULongLong();
        if (number > qulonglong(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return QJsonValue(qint64(number));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return std::nullopt;
        return QJsonValue(number);
    }
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (!date.isValid())
            return std::nullopt;
        return QJsonObject { { kDateMember, date.toUTC().toString(Qt::ISODateWithMs) } };
    }
    case QMetaType::QByteArray:
        return QJsonObject { { kDataMember, QString::fromLatin1(value.toByteArray().toBase64()) } };
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &element : value.toList()) {
            const auto stored = toStored(element);
            if (!stored)
                return std::nullopt;
            array.append(*stored);
        }
        return array;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QJsonObject object;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const auto stored = toStored(it.value());
            if (!stored)
                return std::nullopt;
            object.insert(it.key(), *stored);
        }
        return object;
    }
    default:
        return std::nullopt;
    }
}

QVariant SettingsStore::fromStored(const QJsonValue &stored)
{
    switch (stored.type()) {
    case QJsonValue::Bool:
        return stored.toBool();
    case QJsonValue::Double:
        if (const auto integer = storedInteger(stored))
            return QVariant::fromValue<qlonglong>(*integer);
        return stored.toDouble();
    case QJsonValue::String:
        return stored.toString();
    case QJsonValue::Array: {
        QVariantList list;
        const QJsonArray array = stored.toArray();
        list.reserve(array.size());
        for (const QJsonValue &element : array)
            list.append(fromStored(element));
        return list;
    }
    case QJsonValue::Object: {
        if (const auto date = storedDate(stored))
            return *date;
        if (const auto data = storedData(stored))
            return *data;
        QVariantMap map;
        const QJsonObject object = stored.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            map.insert(it.key(), fromStored(it.value()));
        return map;
    }
    default:
        // null and undefined have no domain type.
        return {};
    }
}

QVariant SettingsStore::object(const QString &key) const { return fromStored(m_domain.value(key)); }

std::optional<bool> SettingsStore::boolValue(const QString &key) const
{
    const QJsonValue stored = m_domain.value(key);
    if (!stored.isBool())
        return std::nullopt;
    return stored.toBool();
}

std::optional<qint64> SettingsStore::integerValue(const QString &key) const
{
    return storedInteger(m_domain.value(key));
}

std::optional<double> SettingsStore::doubleValue(const QString &key) const
{
    const QJsonValue stored = m_domain.value(key);
    if (!stored.isDouble())
        return std::nullopt;
    return stored.toDouble();
}

std::optional<QString> SettingsStore::stringValue(const QString &key) const
{
    const QJsonValue stored = m_domain.value(key);
    if (!stored.isString())
        return std::nullopt;
    return stored.toString();
}

std::optional<QDateTime> SettingsStore::dateValue(const QString &key) const
{
    return storedDate(m_domain.value(key));
}

std::optional<QByteArray> SettingsStore::dataValue(const QString &key) const
{
    return storedData(m_domain.value(key));
}

std::optional<QVariantList> SettingsStore::arrayValue(const QString &key) const
{
    const QJsonValue stored = m_domain.value(key);
    if (!stored.isArray())
        return std::nullopt;
    return fromStored(stored).toList();
}

std::optional<QVariantMap> SettingsStore::dictionaryValue(const QString &key) const
{
    const QJsonValue stored = m_domain.value(key);
    if (!stored.isObject() || storedDate(stored) || storedData(stored))
        return std::nullopt;
    return fromStored(stored).toMap();
}

bool SettingsStore::setValue(const QString &key, const QVariant &value)
{
    const auto stored = toStored(value);
    if (!stored) {
        qCWarning(lcSettings).noquote()
            << "refused to store a value of type" << value.metaType().name() << "under" << key;
        return false;
    }
    m_domain.insert(key, *stored);
    save();
    Q_EMIT valueChanged(key);
    return true;
}

void SettingsStore::remove(const QString &key)
{
    if (!m_domain.contains(key))
        return;
    m_domain.remove(key);
    save();
    Q_EMIT valueChanged(key);
}
