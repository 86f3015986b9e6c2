#pragma once

#include "platform/PanelWindowSystem.h"
#include "ui/Theme.h"

#include <QWidget>

class ArtworkView;
class AppSettings;
class LikeState;
class LyricsService;
class NowPlayingAggregator;
class PlayPauseButton;
class PlayerControlButton;
class ProgressSection;
class QMenu;
class SourceBadge;
class TrackTitle;

// The whole content of the floating panel: the cover, title and artist, like, the seek bar,
// the transport controls and the source badge, with room for the lyrics beside them. It reads
// the aggregator's record and turns every action into one call; only the parts whose content
// changed are repainted.
class MiniPlayerView : public QWidget
{
    Q_OBJECT
public:
    using Backdrop = PanelWindowSystem::Backdrop;

    MiniPlayerView(NowPlayingAggregator &nowPlaying, LyricsService &lyrics, LikeState &like,
                   QMenu &contextMenu, QWidget *parent = nullptr);

    bool isShowingLyrics() const { return m_showLyrics; }
    // 240 × 386, or 600 × 480 with the lyrics column.
    QSize sizeHint() const override;
    void setBackdrop(Backdrop backdrop);

public Q_SLOTS:
    void toggleLyrics();
    // From the like shortcut: toggles where like works, beeps where it does not.
    void requestLikeToggle();

Q_SIGNALS:
    // The lyrics column opened or closed; the panel takes its size from it.
    void lyricsToggled(bool show);
    void chooseSourceRequested();
    void sourceMenuRequested();
    void openSourceRequested();
    void limitedSupportHovered(const QRect &controlGlobalRect);
    void limitedSupportLeft();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void refresh();
    void refreshLike();
    void applyPalette();
    void fetchLyrics();
    PlayerControlButton *addControl(const QString &name, QSize size);

    NowPlayingAggregator &m_nowPlaying;
    LyricsService &m_lyrics;
    LikeState &m_like;
    QMenu &m_contextMenu;
    PlayerPalette m_palette;
    Backdrop m_backdrop = Backdrop::Translucent;
    bool m_showLyrics = false;
    QString m_trackKey;

    ArtworkView *m_artwork;
    SourceBadge *m_badge;
    TrackTitle *m_title;
    PlayerControlButton *m_likeButton;
    ProgressSection *m_progress;
    PlayerControlButton *m_shuffle;
    PlayerControlButton *m_previous;
    PlayPauseButton *m_playPause;
    PlayerControlButton *m_next;
    PlayerControlButton *m_repeat;
};
