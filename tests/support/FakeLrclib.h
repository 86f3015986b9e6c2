#pragma once

#include "FakeHttpServer.h"

#include <chrono>
#include <optional>

// LRCLIB's two routes over canned records of the artist asked for: /api/get answers the record
// of exactly the track asked for, or 404; /api/search every record whose track contains it.
class FakeLrclib
{
public:
    struct Record
    {
        QString trackName;
        QString artistName;
        double duration = 0;
        std::optional<QString> plainLyrics;
        std::optional<QString> syncedLyrics;
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
    FakeHttpServer m_server;
    QList<Record> m_records;
    std::chrono::milliseconds m_delay { 0 };
};
