#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QRandomGenerator>
#include <QString>
#include <QUuid>

// One line of lyrics. Synced lines start at `time` seconds into the track; plain lines carry
// their index there instead. The id tells lines apart when two have the same time and text.
struct LyricLine
{
    QUuid id;
    double time = 0;
    QString text; // spaces and tabs trimmed at both ends; may be empty

    static LyricLine make(double time, QString text)
    {
        return LyricLine { newId(), time, std::move(text) };
    }

    // A random (version 4) UUID. The ids only tell lines apart, so the fast generator serves;
    // QUuid::createUuid() asks the kernel for every id, which cost more than the parsing itself.
    static QUuid newId()
    {
        quint64 words[2];
        QRandomGenerator::global()->fillRange(words);
        QByteArray bytes(reinterpret_cast<const char *>(words), sizeof(words));
        bytes[6] = char((bytes[6] & 0x0F) | 0x40);
        bytes[8] = char((bytes[8] & 0x3F) | 0x80);
        return QUuid::fromRfc4122(bytes);
    }

    friend bool operator==(const LyricLine &, const LyricLine &) = default;
};

Q_DECLARE_METATYPE(LyricLine)
