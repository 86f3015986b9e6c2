#include "platform/Platform.h"

#include "platform/linux/MprisDesktopPlayers.h"

std::unique_ptr<DesktopPlayers> Platform::createDesktopPlayers()
{
    return std::make_unique<MprisDesktopPlayers>(QDBusConnection::sessionBus());
}
