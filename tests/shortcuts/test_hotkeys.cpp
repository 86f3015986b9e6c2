#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeWebBridge.h"
#include "QuietDesktop.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "platform/GlobalShortcuts.h"
#include "settings/AppSettings.h"
#include "shortcuts/HotkeyService.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The system's shortcut registry: records what is bound and refuses chosen combinations.
class FakeGlobalShortcuts : public GlobalShortcuts
{
public:
    QMap<quint32, Hotkey> bound;
    QList<Hotkey> taken;
    int rebinds = 0;

    QSet<quint32> rebind(const QMap<quint32, Hotkey> &bindings) override
    {
        ++rebinds;
        bound.clear();
        QSet<quint32> refused;
        for (auto it = bindings.cbegin(); it != bindings.cend(); ++it) {
            if (taken.contains(*it))
                refused.insert(it.key());
            else
                bound.insert(it.key(), *it);
        }
        return refused;
    }
    void press(HotkeyAction action) { Q_EMIT activated(HotkeyActions::identifier(action)); }
};

WebPlayerState webState(bool playing, SourceCapabilities capabilities)
{
    WebPlayerState state;
    state.source = u"soundcloud"_s;
    state.title = u"Web Song"_s;
    state.isPlaying = playing;
    state.duration = 200;
    state.capabilities = capabilities;
    return state;
}

} // namespace

class TestHotkeys : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    FakeDesktopPlayers m_players;
    FakeWebBridge m_bridge;
    FakeClock m_clock;
    QNetworkAccessManager m_network;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_nowPlaying;
    LightDesktop m_desktop;
    std::unique_ptr<AppSettings> m_settings;
    FakeGlobalShortcuts m_shortcuts;
    std::unique_ptr<HotkeyService> m_service;
    int m_alerts = 0;
    int m_panelToggles = 0;
    QStringList m_posted;

    // Presses and lets the queued action run.
    void press(HotkeyAction action)
    {
        m_shortcuts.press(action);
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(m_dir.filePath(u"defaults.json"_s));
        m_defaults = std::make_unique<SettingsStore>(m_dir.filePath(u"defaults.json"_s));
        m_artwork = std::make_unique<ArtworkResolver>(m_players, m_network);
        m_nowPlaying = std::make_unique<NowPlayingAggregator>(m_players, &m_bridge, *m_artwork,
                                                              *m_defaults, m_clock);
        m_settings = std::make_unique<AppSettings>(*m_defaults, std::make_unique<NoLoginItem>(),
                                                   m_desktop);
        m_shortcuts.taken.clear();
        m_service = std::make_unique<HotkeyService>(m_shortcuts, *m_settings, *m_nowPlaying);
        m_alerts = m_panelToggles = 0;
        m_service->setAlertSound([this] { ++m_alerts; });
        m_service->setPanelToggle([this] { ++m_panelToggles; });
        m_posted.clear();
        connect(m_service.get(), &HotkeyService::likeToggleRequested, this,
                [this] { m_posted << u"like"_s; });
        connect(m_service.get(), &HotkeyService::lyricsToggleRequested, this,
                [this] { m_posted << u"lyrics"_s; });
        m_bridge.sent.clear();
        m_service->installHandler();
        m_service->installHandler(); // once only: a press must not act twice
        m_service->reload();
    }

    void cleanup()
    {
        m_service.reset();
        m_settings.reset();
        m_nowPlaying.reset();
        // The shown track's artwork search goes to a closed port; let it end before the test.
        QTRY_VERIFY(m_network.findChildren<QNetworkReply *>().isEmpty());
        QTest::qWait(10);
    }

    void reloadRegistersTheBindingsOfTheSettings()
    {
        // No entries: the six defaults, identifiers 1 to 6.
        QCOMPARE(m_shortcuts.bound.size(), 6);
        QCOMPARE(m_shortcuts.bound.value(6), (Hotkey { 8, Hotkey::DefaultModifiers }));
        QVERIFY(m_service->failedActions().isEmpty());

        // A removed shortcut is neither bound nor failed; a changed one is bound as changed.
        m_settings->setHotkeyTable({ { u"toggleLyrics"_s, {} }, { u"playPause"_s, { 49, 256 } } });
        m_service->reload();
        QCOMPARE(m_shortcuts.bound.size(), 5);
        QVERIFY(!m_shortcuts.bound.contains(5));
        QCOMPARE(m_shortcuts.bound.value(1), (Hotkey { 49, Hotkey::Command }));
        QVERIFY(m_service->failedActions().isEmpty());

        // A refused combination fails alone; the actions after it still register.
        QSignalSpy failedChanged(m_service.get(), &HotkeyService::failedActionsChanged);
        m_shortcuts.taken = { Hotkey { 124, Hotkey::DefaultModifiers } };
        m_service->reload();
        QCOMPARE(m_service->failedActions(), QSet<HotkeyAction> { HotkeyAction::NextTrack });
        QCOMPARE(m_shortcuts.bound.size(), 4);
        QVERIFY(m_shortcuts.bound.contains(6));
        QCOMPARE(failedChanged.count(), 1);
    }

    void pausingUnregistersAndEveryAssignmentReloads()
    {
        const int before = m_shortcuts.rebinds;
        m_service->setPaused(true);
        QVERIFY(m_shortcuts.bound.isEmpty());
        press(HotkeyAction::ToggleLyrics);
        QVERIFY(m_posted.isEmpty());

        m_service->setPaused(false);
        QCOMPARE(m_shortcuts.bound.size(), 6);
        m_service->setPaused(false);
        QCOMPARE(m_shortcuts.rebinds, before + 3);
        press(HotkeyAction::ToggleLyrics);
        QCOMPARE(m_posted, QStringList { u"lyrics"_s });
    }

    void shortcutsActOnTheShownSource()
    {
        m_nowPlaying->onWebState(webState(true, SourceCapability::Next | SourceCapability::Seek));
        QCOMPARE(m_nowPlaying->nowPlaying().title, u"Web Song"_s);

        press(HotkeyAction::PlayPause);
        press(HotkeyAction::NextTrack);
        QCOMPARE(m_bridge.sent,
                 (QStringList { u"pause com.vesper.web.soundcloud"_s,
                                u"next com.vesper.web.soundcloud"_s }));
        QCOMPARE(m_alerts, 0);

        // Controls the source lacks sound the alert and send nothing.
        press(HotkeyAction::PreviousTrack);
        press(HotkeyAction::ToggleLike);
        QCOMPARE(m_alerts, 2);
        QCOMPARE(m_bridge.sent.size(), 2);
        QVERIFY(m_posted.isEmpty());

        m_nowPlaying->onWebState(
            webState(false, SourceCapability::Previous | SourceCapability::Like));
        press(HotkeyAction::PlayPause);
        press(HotkeyAction::PreviousTrack);
        press(HotkeyAction::ToggleLike);
        press(HotkeyAction::TogglePanel);
        QCOMPARE(m_bridge.sent.mid(2),
                 (QStringList { u"play com.vesper.web.soundcloud"_s,
                                u"previous com.vesper.web.soundcloud"_s }));
        QCOMPARE(m_posted, QStringList { u"like"_s });
        QCOMPARE(m_panelToggles, 1);
        QCOMPARE(m_alerts, 2);
    }

    void onlyRegisteredIdentifiersAct()
    {
        // A refused shortcut does nothing even if its identifier arrives.
        m_shortcuts.taken = { HotkeyActions::defaultHotkey(HotkeyAction::ToggleLyrics) };
        m_service->reload();
        press(HotkeyAction::ToggleLyrics);
        m_service->fire(0);
        m_service->fire(7);
        QVERIFY(m_posted.isEmpty());
        QCOMPARE(m_panelToggles, 0);
    }
};

QTEST_GUILESS_MAIN(TestHotkeys)
#include "test_hotkeys.moc"
