#pragma once

class QWidget;

// Asks whether to connect a Spotify account, so that a like can reach the user's Liked Songs;
// true when the user chose to connect.
bool askToConnectSpotify(QWidget *parent = nullptr);
