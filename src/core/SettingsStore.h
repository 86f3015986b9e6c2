#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>

#include <optional>

// Vesper's typed key–value domain: booleans, integers, doubles, strings, dates, data, arrays and
// dictionaries, kept as one JSON object in a file a person can read. Every change rewrites the
// file atomically, so a crash leaves either the old or the new file, never a torn one.
//
// A date is stored as {"$date": "<ISO 8601 UTC>"}, data as {"$data": "<base64>"}; a number
// with no fractional part reads back as an integer. Keys Vesper does not know, and values it
// cannot interpret, are kept as they are.
class SettingsStore : public QObject
{
    Q_OBJECT
public:
    // The application's domain, $XDG_CONFIG_HOME/vesper/defaults.json.
    static QString standardFilePath();

    explicit SettingsStore(const QString &filePath, QObject *parent = nullptr);

    QString filePath() const { return m_filePath; }

    bool contains(const QString &key) const { return m_domain.contains(key); }
    QStringList keys() const { return m_domain.keys(); }

    // The stored value in its domain type (bool, qlonglong, double, QString, QDateTime,
    // QByteArray, QVariantList, QVariantMap); invalid when the key is missing.
    QVariant object(const QString &key) const;

    // Typed reads: none when the key is missing or holds another type. An integer also
    // answers doubleValue().
    std::optional<bool> boolValue(const QString &key) const;
    std::optional<qint64> integerValue(const QString &key) const;
    std::optional<double> doubleValue(const QString &key) const;
    std::optional<QString> stringValue(const QString &key) const;
    std::optional<QDateTime> dateValue(const QString &key) const;
    std::optional<QByteArray> dataValue(const QString &key) const;
    std::optional<QVariantList> arrayValue(const QString &key) const;
    std::optional<QVariantMap> dictionaryValue(const QString &key) const;

    // Stores a value of one of the domain types (other integer and string-list types are
    // converted). A value the domain cannot hold is refused with a log line; false then.
    bool setValue(const QString &key, const QVariant &value);
    void remove(const QString &key);

    // Conversions between the domain's values and their stored JSON form.
    static std::optional<QJsonValue> toStored(const QVariant &value);
    static QVariant fromStored(const QJsonValue &stored);

Q_SIGNALS:
    void valueChanged(const QString &key);

private:
    void load();
    void setAside(const QString &reason);
    void save();

    QString m_filePath;
    QJsonObject m_domain;
    bool m_canSave = true;
};
