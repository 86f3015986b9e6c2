#pragma once

#include <memory>

class QNetworkAccessManager;

// The one HTTP client every service shares. Transfers that stall for 60 seconds are aborted.
std::unique_ptr<QNetworkAccessManager> createNetworkAccessManager();
