#pragma once

class QNetworkAccessManager;

// The one HTTP client every service shares. Transfers that stall for 60 seconds are aborted.
QNetworkAccessManager &sharedNetworkAccessManager();
