#pragma once

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

class SpotifyAuthService;

// The Spotify library calls behind the like button: save, remove and the liked check of one
// track, made through the account's authorized requests. The library endpoints take track URIs
// ("spotify:track:<ID>"); the older /me/tracks calls are refused to the development-mode
// applications every user's own client ID is.
class SpotifyLibrary
{
public:
    explicit SpotifyLibrary(SpotifyAuthService &auth);

    // Saves the track to Liked Songs; true when the library took it.
    QCoro::Task<bool> like(QString trackID);
    // Removes the track from Liked Songs; true when the library took it.
    QCoro::Task<bool> unlike(QString trackID);
    // Whether the track is in Liked Songs; any failure reads as not liked.
    QCoro::Task<bool> isLiked(QString trackID);

    // A Spotify ID is 22 characters of base 62; anything else could carry more into the query.
    static bool isTrackID(const QString &trackID);
    // "/me/library?uris=spotify:track:<ID>"
    static QString libraryPath(const QString &trackID);
    // "/me/library/contains?uris=spotify:track:<ID>"
    static QString containsPath(const QString &trackID);
    // The first element of a JSON array of booleans; false for anything else.
    static bool firstLiked(const QByteArray &body);

private:
    QCoro::Task<bool> changeLibrary(QString trackID, QString method);

    SpotifyAuthService &m_auth;
};
