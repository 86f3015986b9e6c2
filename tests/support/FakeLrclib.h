#pragma once

#include "FakeHttpServer.h"

#include <QJsonObject>

#include <chrono>
#include <optional>

// LRCLIB as it answers: /api/get finds a record by track and artist (and duration within ±2 s
// when one is given) or answers 404; /api/search answers an array of the records whose names
// contain the ones asked for. Names match regardless of case.
class FakeLrclib
{
public:
    struct Record
    {
        QString trackName;
        QString artistName;
        double duration = 0;
        bool instrumental = false;
        std::optional<QString> plainLyrics;
        std::optional<QString> syncedLyrics;

        QJsonObject toJson() const;
    };

    FakeLrclib();

    QUrl url() const { return m_server.url(); }
    FakeHttpServer &server() { return m_server; }
    QList<FakeHttpServer::Request> requests() const { return m_server.requests(); }

    void add(const Record &record) { m_records.append(record); }
    // Every answer waits this long.
    void setDelay(std::chrono::milliseconds delay) { m_delay = delay; }

    // A query item as the service reads it ("+" is a space); none when it is missing.
    static std::optional<QString> item(const FakeHttpServer::Request &request, const QString &name);

private:
    FakeHttpServer::Response json(int status, const QJsonDocument &body) const;

    FakeHttpServer m_server;
    QList<Record> m_records;
    std::chrono::milliseconds m_delay { 0 };
};
