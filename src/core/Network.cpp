#include "core/Network.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

namespace {
constexpr int kTransferTimeoutMs = 60 * 1000;
}

QNetworkAccessManager &sharedNetworkAccessManager()
{
    static QNetworkAccessManager *manager = [] {
        // Owned by the application object: it must go before Qt's network internals do.
        auto *created = new QNetworkAccessManager(QCoreApplication::instance());
        created->setTransferTimeout(kTransferTimeoutMs);
        return created;
    }();
    return *manager;
}
