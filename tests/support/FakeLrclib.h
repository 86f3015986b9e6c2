#pragma once

#include "FakeHttpServer.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

// LRCLIB as it answers: /api/get finds one record by track and artist (and duration within
// ±2 s when one is given) or answers 404 with its TrackNotFound body; /api/search answers an
// array of at most 20 records. Names match without regard to case, and query items are read as
// the service reads them ("+" is a space). It can also fail the ways the service does.
class FakeLrclib
{
public:
    struct Record
    {
        qint64 id = 0;
        QString trackName;
        QString artistName;
        QString albumName;
        double duration = 0;
        bool instrumental = false;
        std::optional<QString> plainLyrics;
        std::optional<QString> syncedLyrics;

        QJsonObject toJson() const;
    };

    enum class Failure {
        None,
        ServerError, // 500 with the service's UnknownError body
        MalformedJson, // 200 with a body cut off in the middle
        WrongShape, // 200 with JSON of another shape: a string for get, an object for search
    };

    FakeLrclib();

    QUrl url() const { return m_server.url(); }
    FakeHttpServer &server() { return m_server; }

    // Adds a record; its id is given when it has none.
    void add(Record record);
    void clear() { m_records.clear(); }
    void setFailure(Failure failure) { m_failure = failure; }
    // Every answer waits this long.
    void setDelay(std::chrono::milliseconds delay) { m_delay = delay; }

    // The requests to either endpoint, in order.
    QList<FakeHttpServer::Request> requests() const;
    // A query item as the service decodes it; none when the request lacks it.
    static std::optional<QString> item(const FakeHttpServer::Request &request, const QString &name);

    static const QByteArray notFoundBody;
    static const QByteArray serverErrorBody;

private:
    FakeHttpServer::Response answerGet(const FakeHttpServer::Request &request) const;
    FakeHttpServer::Response answerSearch(const FakeHttpServer::Request &request) const;
    FakeHttpServer::Response failureResponse(bool search) const;
    FakeHttpServer::Response json(int status, const QByteArray &body) const;

    FakeHttpServer m_server;
    QList<Record> m_records;
    Failure m_failure = Failure::None;
    std::chrono::milliseconds m_delay { 0 };
};
