#include "ui/PlayerMenu.h"

#include "browser/BrowserBridgeService.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "settings/AppSettings.h"
#include "updates/UpdateCheckService.h"

#include <QDesktopServices>

using namespace Qt::StringLiterals;

PlayerMenu::PlayerMenu(Style style, NowPlayingAggregator &nowPlaying, AppSettings &settings,
                       UpdateCheckService &updates, BrowserBridgeService &bridge, QObject *parent)
    : QObject(parent), m_style(style), m_nowPlaying(nowPlaying), m_settings(settings),
      m_updates(updates), m_bridge(bridge), m_menu(std::make_unique<QMenu>())
{
    const bool tray = style == Style::Tray;
    m_togglePanel = m_menu->addAction(u"Hide Vesper"_s, this, &PlayerMenu::togglePanelRequested);
    m_alwaysOnTop = m_menu->addAction(u"Always on Top"_s);
    m_alwaysOnTop->setCheckable(true);
    m_alwaysOnTop->setChecked(m_settings.alwaysOnTop());
    connect(m_alwaysOnTop, &QAction::toggled, &m_settings, &AppSettings::setAlwaysOnTop);
    connect(&m_settings, &AppSettings::alwaysOnTopChanged, this,
            [this] { m_alwaysOnTop->setChecked(m_settings.alwaysOnTop()); });
    m_toggleLyrics = m_menu->addAction(u"Show Lyrics"_s, this, &PlayerMenu::lyricsToggleRequested);

    m_menu->addSeparator();
    m_menu->addAction(u"Music Source"_s)->setEnabled(false);
    // The tray's list sets "Learn Controls…" apart with a separator; the player's does not.
    if (tray)
        m_learnSeparator = m_menu->addSeparator();
    m_learnControls = m_menu->addAction(u"Learn Controls…"_s, this, [this] {
        m_bridge.startLearning(PlayerPresentation::currentSource(m_nowPlaying.nowPlaying(),
                                                                 m_nowPlaying.lockedSource()));
    });
    m_sourcesEnd = tray ? m_learnSeparator : m_learnControls;
    m_menu->addSeparator();
    m_update = m_menu->addAction(
        QString(), this, [this] { QDesktopServices::openUrl(m_updates.status().downloadURL); });
    QAction *settingsAction = m_menu->addAction(tray ? u"Settings…"_s : u"Settings"_s, this,
                                                &PlayerMenu::settingsRequested);
    m_menu->addSeparator();
    QAction *quitAction = m_menu->addAction(u"Quit Vesper"_s, this, &PlayerMenu::quitRequested);
    if (tray) {
        settingsAction->setShortcut(QKeySequence(u"Ctrl+,"_s));
        quitAction->setShortcut(QKeySequence(u"Ctrl+Q"_s));
    }

    connect(&m_nowPlaying, &NowPlayingAggregator::nowPlayingChanged, this,
            &PlayerMenu::refreshSources);
    connect(&m_nowPlaying, &NowPlayingAggregator::availableSourcesSnapshotChanged, this,
            &PlayerMenu::refreshSources);
    connect(&m_nowPlaying, &NowPlayingAggregator::lockedSourceChanged, this,
            &PlayerMenu::refreshSources);
    connect(&m_updates, &UpdateCheckService::statusChanged, this, &PlayerMenu::refreshUpdate);
    refreshSources();
    refreshUpdate();
}

PlayerMenu::~PlayerMenu() = default;

void PlayerMenu::setPanelShown(bool shown)
{
    m_panelShown = shown;
    // The player's own menu only opens on a shown panel.
    m_togglePanel->setText(shown || m_style == Style::Player ? u"Hide Vesper"_s : u"Show Vesper"_s);
}

void PlayerMenu::setLyricsShowing(bool showing)
{
    m_toggleLyrics->setText(showing ? u"Hide Lyrics"_s : u"Show Lyrics"_s);
}

void PlayerMenu::refreshSources()
{
    const Source current
        = PlayerPresentation::currentSource(m_nowPlaying.nowPlaying(), m_nowPlaying.lockedSource());
    const QList<SourceListItem> items = m_nowPlaying.sourceList();
    while (m_sourceRows.size() < items.size()) {
        auto *row = new QAction(m_menu.get());
        row->setCheckable(true);
        connect(row, &QAction::triggered, this, [this, row] {
            if (const auto source = Source::fromRawValue(row->data().toString()))
                m_nowPlaying.selectSource(*source);
        });
        m_menu->insertAction(m_sourcesEnd, row);
        m_sourceRows.append(row);
    }
    for (qsizetype i = 0; i < m_sourceRows.size(); ++i) {
        QAction *row = m_sourceRows.at(i);
        row->setVisible(i < items.size());
        if (i >= items.size())
            continue;
        const SourceListItem &item = items.at(i);
        row->setText(PlayerPresentation::sourceItemLabel(item, m_style));
        row->setData(item.app.rawValue());
        row->setChecked(item.app == current);
        row->setEnabled(item.enabled);
    }
    const bool learnable = PlayerPresentation::canLearnControls(current);
    m_learnControls->setVisible(learnable);
    if (m_learnSeparator)
        m_learnSeparator->setVisible(learnable);
}

void PlayerMenu::refreshUpdate()
{
    const UpdateCheckService::Status status = m_updates.status();
    const bool available = status.kind == UpdateCheckService::Status::Kind::UpdateAvailable;
    m_update->setVisible(available);
    if (available)
        m_update->setText(u"Update Available: "_s + status.version + u"…"_s);
}
