#include "core/Network.h"

#include <QNetworkAccessManager>

namespace {
constexpr int kTransferTimeoutMs = 60 * 1000;
}

std::unique_ptr<QNetworkAccessManager> createNetworkAccessManager()
{
    auto manager = std::make_unique<QNetworkAccessManager>();
    manager->setTransferTimeout(kTransferTimeoutMs);
    return manager;
}
