// Feeds the browser bridge's message handler what a connected client could send: one or more
// text messages, separated by the record separator 0x1E, on a connection that has said hello,
// or, when the input begins with "!", on a new connection that has not.
#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "browser/BrowserBridgeService.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTemporaryDir>

#include <cstdint>

using namespace Qt::StringLiterals;

namespace {

constexpr BridgeTransport::ConnectionId kConnection = 1;

struct Harness
{
    Harness()
    {
        // Nothing a message names may leave the machine: every request goes to a closed port
        // on the loopback address.
        qputenv("VESPER_ITUNES_URL", "http://127.0.0.1:9");
        network.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, 9));
        bridge = std::make_unique<BrowserBridgeService>(defaults, QList<quint16>());
        manager = std::make_unique<NowPlayingAggregator>(players, bridge.get(), artwork, defaults,
                                                         clock);
        QObject::connect(bridge.get(), &BrowserBridgeService::webStateReported, manager.get(),
                         &NowPlayingAggregator::onWebState);
        QObject::connect(bridge.get(), &BrowserBridgeService::webSourcesChanged, manager.get(),
                         &NowPlayingAggregator::refreshAvailableSources);
    }

    int argc = 1;
    char name[8] = "fuzzer";
    char *argv[2] = { name, nullptr };
    QCoreApplication application { argc, argv };
    QTemporaryDir dir;
    SettingsStore defaults { dir.filePath(u"defaults.json"_s) };
    FakeDesktopPlayers players;
    QNetworkAccessManager network;
    ArtworkResolver artwork { players, network };
    FakeClock clock;
    std::unique_ptr<BrowserBridgeService> bridge;
    std::unique_ptr<NowPlayingAggregator> manager;
    quint64 runs = 0;
    BridgeTransport::ConnectionId lastFreshConnection = 1000;
};

void silence(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness *harness = [] {
        qInstallMessageHandler(silence);
        return new Harness;
    }();
    QByteArray input
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    BridgeTransport::ConnectionId connection = kConnection;
    if (input.startsWith('!')) {
        input = input.mid(1);
        connection = ++harness->lastFreshConnection;
    } else {
        // Most runs start authenticated, so that the fuzzer reaches past the hello rule.
        harness->bridge->handle(R"({"type":"hello","version":4})", kConnection);
    }
    for (const QByteArray &message : input.split('\x1e'))
        harness->bridge->handle(message, connection);

    // Lets timers, artwork look-ups and deferred deletions run now and then.
    if (++harness->runs % 256 == 0)
        QCoreApplication::processEvents();
    return 0;
}
