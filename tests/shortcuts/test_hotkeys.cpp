#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeWebBridge.h"
#include "QuietDesktop.h"
#include "ServiceFixture.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "platform/GlobalShortcuts.h"
#include "settings/AppSettings.h"
#include "shortcuts/HotkeyService.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// The system's shortcut registry: records what is bound and refuses chosen combinations.
class FakeGlobalShortcuts : public GlobalShortcuts
{
public:
    QMap<quint32, Hotkey> bound;
    QList<Hotkey> taken;

    QSet<quint32> rebind(const QMap<quint32, Hotkey> &bindings) override
    {
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
};

WebPlayerState webState(bool playing, SourceCapabilities capabilities)
{
    WebPlayerState state;
    state.source = u"soundcloud"_s;
    state.title = u"Web Song"_s;
    state.isPlaying = playing;
    state.capabilities = capabilities;
    return state;
}
} // namespace

class TestHotkeys : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    FakeDesktopPlayers m_players;
    FakeWebBridge m_bridge;
    FakeClock m_clock;
    LightDesktop m_desktop;
    FakeGlobalShortcuts m_shortcuts;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_nowPlaying;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<HotkeyService> m_service;
    QStringList m_acts; // what the presses did, besides commands to the bridge

    // Presses and lets the queued action run.
    void press(HotkeyAction action)
    {
        Q_EMIT m_shortcuts.activated(HotkeyActions::identifier(action));
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_fixture->setEndpoint("VESPER_ITUNES_URL"); // the shown track finds no artwork
        m_artwork = std::make_unique<ArtworkResolver>(m_players, m_fixture->network());
        m_nowPlaying = std::make_unique<NowPlayingAggregator>(m_players, &m_bridge, *m_artwork,
                                                              m_fixture->settings(), m_clock);
        m_settings = std::make_unique<AppSettings>(m_fixture->settings(),
                                                   std::make_unique<NoLoginItem>(), m_desktop);
        m_shortcuts.taken.clear();
        m_bridge.sent.clear();
        m_acts.clear();
        m_service = std::make_unique<HotkeyService>(m_shortcuts, *m_settings, *m_nowPlaying);
        m_service->setAlertSound([this] { m_acts << u"alert"_s; });
        m_service->setPanelToggle([this] { m_acts << u"panel"_s; });
        connect(m_service.get(), &HotkeyService::likeToggleRequested, this,
                [this] { m_acts << u"like"_s; });
        connect(m_service.get(), &HotkeyService::lyricsToggleRequested, this,
                [this] { m_acts << u"lyrics"_s; });
        m_service->installHandler();
        m_service->installHandler(); // once only: a press must not act twice
        m_service->reload();
    }

    void cleanup()
    {
        m_service.reset();
        m_settings.reset();
        m_nowPlaying.reset();
        m_artwork.reset();
        QVERIFY(m_fixture->networkDrained());
        m_fixture.reset();
    }

    void bindsWhatTheSettingsHold()
    {
        QCOMPARE(m_shortcuts.bound.size(), 6);
        // A removed shortcut is neither bound nor failed; a changed one is bound as changed.
        m_settings->setHotkeyTable({ { u"toggleLyrics"_s, {} }, { u"playPause"_s, { 49, 256 } } });
        m_service->reload();
        QCOMPARE(m_shortcuts.bound.size(), 5);
        QCOMPARE(m_shortcuts.bound.value(1), (Hotkey { 49, Hotkey::Command }));
        QVERIFY(m_service->failedActions().isEmpty());

        // A refused combination fails alone, and its press does nothing.
        QSignalSpy failedChanged(m_service.get(), &HotkeyService::failedActionsChanged);
        m_shortcuts.taken = { Hotkey { 8, Hotkey::DefaultModifiers } };
        m_service->reload();
        QCOMPARE(m_service->failedActions(), QSet<HotkeyAction> { HotkeyAction::TogglePanel });
        QCOMPARE(m_shortcuts.bound.size(), 4);
        QCOMPARE(failedChanged.count(), 1);
        press(HotkeyAction::TogglePanel);
        m_service->fire(0);
        m_service->fire(7);
        QVERIFY(m_acts.isEmpty());

        // Paused, nothing is bound and nothing acts.
        m_service->setPaused(true);
        QVERIFY(m_shortcuts.bound.isEmpty());
        press(HotkeyAction::ToggleLike);
        QVERIFY(m_acts.isEmpty());
        m_service->setPaused(false);
        QCOMPARE(m_shortcuts.bound.size(), 4);
    }

    void shortcutsActOnTheShownSourceOnce()
    {
        m_nowPlaying->onWebState(webState(true, SourceCapability::Next | SourceCapability::Seek));
        press(HotkeyAction::PlayPause);
        press(HotkeyAction::NextTrack);
        // Controls the source lacks sound the alert and send nothing.
        press(HotkeyAction::PreviousTrack);
        press(HotkeyAction::ToggleLike);
        QCOMPARE(m_bridge.sent,
                 (QStringList { u"pause com.vesper.web.soundcloud"_s,
                                u"next com.vesper.web.soundcloud"_s }));
        QCOMPARE(m_acts, (QStringList { u"alert"_s, u"alert"_s }));

        m_acts.clear();
        m_nowPlaying->onWebState(
            webState(false, SourceCapability::Previous | SourceCapability::Like));
        press(HotkeyAction::PlayPause);
        press(HotkeyAction::PreviousTrack);
        press(HotkeyAction::ToggleLike);
        press(HotkeyAction::ToggleLyrics);
        press(HotkeyAction::TogglePanel);
        QCOMPARE(m_bridge.sent.mid(2),
                 (QStringList { u"play com.vesper.web.soundcloud"_s,
                                u"previous com.vesper.web.soundcloud"_s }));
        QCOMPARE(m_acts, (QStringList { u"like"_s, u"lyrics"_s, u"panel"_s }));
    }
};

QTEST_GUILESS_MAIN(TestHotkeys)
#include "test_hotkeys.moc"
