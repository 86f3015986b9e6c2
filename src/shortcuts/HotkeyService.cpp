#include "shortcuts/HotkeyService.h"

#include "nowplaying/NowPlayingAggregator.h"
#include "platform/GlobalShortcuts.h"
#include "settings/AppSettings.h"

HotkeyService::HotkeyService(GlobalShortcuts &shortcuts, AppSettings &settings,
                             NowPlayingAggregator &nowPlaying, QObject *parent)
    : QObject(parent), m_shortcuts(shortcuts), m_settings(settings), m_nowPlaying(nowPlaying)
{
}

void HotkeyService::setPaused(bool paused)
{
    const bool changed = m_paused != paused;
    m_paused = paused;
    reload();
    if (changed)
        Q_EMIT pausedChanged();
}

void HotkeyService::installHandler()
{
    if (m_handlerInstalled)
        return;
    m_handlerInstalled = true;
    // Queued: the action runs from the event loop, never inside the display's event dispatch.
    connect(&m_shortcuts, &GlobalShortcuts::activated, this, &HotkeyService::fire,
            Qt::QueuedConnection);
}

void HotkeyService::reload()
{
    QMap<quint32, Hotkey> bindings;
    if (!m_paused) {
        for (const HotkeyAction action : HotkeyActions::all()) {
            // An emptied entry means the user removed the shortcut: not bound, not failed.
            if (const std::optional<Hotkey> hotkey = m_settings.hotkey(action))
                bindings.insert(HotkeyActions::identifier(action), *hotkey);
        }
    }
    const QSet<quint32> refused = m_shortcuts.rebind(bindings);

    QSet<HotkeyAction> failed;
    m_registered.clear();
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it) {
        if (refused.contains(it.key()))
            failed.insert(*HotkeyActions::fromIdentifier(it.key()));
        else
            m_registered.insert(it.key());
    }
    if (failed != m_failedActions) {
        m_failedActions = failed;
        Q_EMIT failedActionsChanged();
    }
}

void HotkeyService::fire(quint32 identifier)
{
    const std::optional<HotkeyAction> action = HotkeyActions::fromIdentifier(identifier);
    if (!action || !m_registered.contains(identifier))
        return;
    const SourceCapabilities capabilities = m_nowPlaying.nowPlaying().capabilities;
    // A control the shown source lacks sounds the alert instead of acting.
    const auto offered = [&](SourceCapability control) {
        if (capabilities.testFlag(control))
            return true;
        alert();
        return false;
    };
    switch (*action) {
    case HotkeyAction::PlayPause:
        m_nowPlaying.togglePlayPause();
        break;
    case HotkeyAction::NextTrack:
        if (offered(SourceCapability::Next))
            m_nowPlaying.nextTrack();
        break;
    case HotkeyAction::PreviousTrack:
        if (offered(SourceCapability::Previous))
            m_nowPlaying.previousTrack();
        break;
    case HotkeyAction::ToggleLike:
        if (offered(SourceCapability::Like))
            Q_EMIT likeToggleRequested();
        break;
    case HotkeyAction::ToggleLyrics:
        Q_EMIT lyricsToggleRequested();
        break;
    case HotkeyAction::TogglePanel:
        if (m_togglePanel)
            m_togglePanel();
        break;
    }
}

void HotkeyService::setPanelToggle(std::function<void()> toggle)
{
    m_togglePanel = std::move(toggle);
}

void HotkeyService::setAlertSound(std::function<void()> alert) { m_alertSound = std::move(alert); }

void HotkeyService::alert()
{
    if (m_alertSound)
        m_alertSound();
}
