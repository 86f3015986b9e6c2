#pragma once

#include "models/Hotkey.h"

#include <QObject>
#include <QSet>

#include <functional>

class AppSettings;
class GlobalShortcuts;
class NowPlayingAggregator;

// The six system-wide shortcuts: registers the bindings of the settings and performs the action
// of a pressed one. A combination the system refuses is listed in failedActions() and does
// nothing; a control the shown source lacks sounds the alert instead of acting.
class HotkeyService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QSet<HotkeyAction> failedActions READ failedActions NOTIFY failedActionsChanged)
    Q_PROPERTY(bool isPaused READ isPaused WRITE setPaused NOTIFY pausedChanged)

public:
    HotkeyService(GlobalShortcuts &shortcuts, AppSettings &settings,
                  NowPlayingAggregator &nowPlaying, QObject *parent = nullptr);

    QSet<HotkeyAction> failedActions() const { return m_failedActions; }
    bool isPaused() const { return m_paused; }
    // Every assignment reloads, also of the same value: while paused nothing is registered.
    void setPaused(bool paused);

    // Routes pressed shortcuts to fire(); the first call only.
    void installHandler();
    // Replaces every registration with the current bindings of the settings.
    void reload();
    void fire(quint32 identifier);

    // What "Show / Hide Vesper" does; without it (no panel) the shortcut does nothing.
    void setPanelToggle(std::function<void()> toggle);
    // The desktop's alert sound, for a shortcut whose control the shown source lacks.
    void setAlertSound(std::function<void()> alert);

Q_SIGNALS:
    void failedActionsChanged();
    void pausedChanged();
    // The like and lyrics shortcuts, for the panel to act on.
    void likeToggleRequested();
    void lyricsToggleRequested();

private:
    void alert();

    GlobalShortcuts &m_shortcuts;
    AppSettings &m_settings;
    NowPlayingAggregator &m_nowPlaying;
    QSet<HotkeyAction> m_failedActions;
    QSet<quint32> m_registered;
    bool m_paused = false;
    bool m_handlerInstalled = false;
    std::function<void()> m_togglePanel;
    std::function<void()> m_alertSound;
};
