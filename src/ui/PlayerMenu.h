#pragma once

#include "ui/PlayerPresentation.h"

#include <QList>
#include <QMenu>
#include <QObject>

class AppSettings;
class BrowserBridgeService;
class NowPlayingAggregator;
class UpdateCheckService;

// The menu of the tray icon, or the player's own context menu: show or hide, always on top,
// lyrics, the music sources, an available update, settings and quit. It is built once and its
// actions are kept current as what they show changes, so that a menu exported to the panel over
// DBusMenu is right whenever it opens, without waiting for an "about to show".
class PlayerMenu : public QObject
{
    Q_OBJECT
public:
    using Style = PlayerPresentation::MenuStyle;

    PlayerMenu(Style style, NowPlayingAggregator &nowPlaying, AppSettings &settings,
               UpdateCheckService &updates, BrowserBridgeService &bridge,
               QObject *parent = nullptr);
    ~PlayerMenu() override;

    QMenu &menu() { return *m_menu; }

    void setPanelShown(bool shown);
    void setLyricsShowing(bool showing);

Q_SIGNALS:
    void togglePanelRequested();
    void lyricsToggleRequested();
    void settingsRequested();
    void quitRequested();

private:
    void refreshSources();
    void refreshUpdate();

    Style m_style;
    NowPlayingAggregator &m_nowPlaying;
    AppSettings &m_settings;
    UpdateCheckService &m_updates;
    BrowserBridgeService &m_bridge;
    std::unique_ptr<QMenu> m_menu;
    QAction *m_togglePanel;
    QAction *m_alwaysOnTop;
    QAction *m_toggleLyrics;
    QAction *m_sourcesEnd; // the source rows go before it
    QAction *m_learnSeparator = nullptr;
    QAction *m_learnControls;
    QAction *m_update;
    QList<QAction *> m_sourceRows;
    bool m_panelShown = true;
};
