#include "ui/MiniPlayerView.h"

#include "lyrics/LyricsService.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "ui/ArtworkView.h"
#include "ui/LikeState.h"
#include "ui/PlayPauseButton.h"
#include "ui/PlayerControlButton.h"
#include "ui/PlayerPresentation.h"
#include "ui/ProgressSection.h"
#include "ui/SourceBadge.h"
#include "ui/TrackTitle.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

using namespace Qt::StringLiterals;
namespace Presentation = PlayerPresentation;

namespace {
constexpr int kInfoInset = 14;
constexpr int kInfoWidth = PlayerMetrics::columnWidth - 2 * kInfoInset;
constexpr int kInfoTop = PlayerMetrics::columnWidth + 12;
constexpr int kInfoSpacing = 15;
constexpr int kTitleSpacing = 8;
constexpr int kControlsHeight = 36;
constexpr int kCentreSpacing = 8;
constexpr QPoint kBadgeOrigin { 8, 8 };
constexpr QSize kLikeSize { 20, 20 };
constexpr QSize kToggleSize { 23, 27 }; // 23 × 23 and room below for the "on" dot
constexpr QSize kSkipSize { 24, 24 };
constexpr int kToggleGlyph = 20;
constexpr int kSkipGlyph = 20;
constexpr int kLikeGlyph = 17;
// The veil where nothing blurs behind it, and without a compositor: legible over anything.
constexpr qreal kUnblurredVeilOpacity = 0.88;

bool isDark(const QPalette &palette) { return palette.color(QPalette::Window).lightness() < 128; }
} // namespace

MiniPlayerView::MiniPlayerView(NowPlayingAggregator &nowPlaying, LyricsService &lyrics,
                               LikeState &like, QMenu &contextMenu, QWidget *parent)
    : QWidget(parent), m_nowPlaying(nowPlaying), m_lyrics(lyrics), m_like(like),
      m_contextMenu(contextMenu), m_palette(PlayerPalette::forAppearance(isDark(palette()))),
      m_trackKey(Presentation::trackKey(nowPlaying.nowPlaying())), m_artwork(new ArtworkView(this)),
      m_badge(new SourceBadge(this)),
      m_title(new TrackTitle(kInfoWidth - kTitleSpacing - kLikeSize.width(), this)),
      m_likeButton(addControl(u"Like"_s, kLikeSize)),
      m_progress(new ProgressSection(kInfoWidth, this)),
      m_shuffle(addControl(u"Shuffle"_s, kToggleSize)),
      m_previous(addControl(u"Previous Track"_s, kSkipSize)),
      m_playPause(new PlayPauseButton(this)), m_next(addControl(u"Next Track"_s, kSkipSize)),
      m_repeat(addControl(u"Repeat"_s, kToggleSize))
{
    resize(sizeHint());

    // The column, top to bottom: cover, title row, progress, controls.
    m_artwork->move(0, 0);
    m_badge->move(kBadgeOrigin);
    m_title->move(kInfoInset, kInfoTop);
    m_likeButton->move(kInfoInset + kInfoWidth - kLikeSize.width(),
                       kInfoTop + (m_title->height() - kLikeSize.height()) / 2);
    const int barTop = kInfoTop + m_title->height() + kInfoSpacing;
    m_progress->move(kInfoInset - ProgressSection::horizontalInset,
                     barTop - ProgressSection::grabOverhang);
    const int controlsTop = m_progress->geometry().bottom() + 1 + kInfoSpacing;
    const int middle = controlsTop + kControlsHeight / 2;
    const int centre = PlayerMetrics::columnWidth / 2;
    m_playPause->move(centre - m_playPause->width() / 2, controlsTop);
    m_previous->move(m_playPause->x() - kCentreSpacing - kSkipSize.width(),
                     middle - kSkipSize.height() / 2);
    m_next->move(m_playPause->geometry().right() + 1 + kCentreSpacing,
                 middle - kSkipSize.height() / 2);
    m_shuffle->move(kInfoInset, middle - kToggleSize.width() / 2);
    m_repeat->move(kInfoInset + kInfoWidth - kToggleSize.width(), middle - kToggleSize.width() / 2);

    connect(m_playPause, &QAbstractButton::clicked, &m_nowPlaying,
            &NowPlayingAggregator::togglePlayPause);
    connect(m_previous, &PlayerControlButton::triggered, &m_nowPlaying,
            &NowPlayingAggregator::previousTrack);
    connect(m_next, &PlayerControlButton::triggered, &m_nowPlaying,
            &NowPlayingAggregator::nextTrack);
    connect(m_shuffle, &PlayerControlButton::triggered, &m_nowPlaying,
            &NowPlayingAggregator::toggleShuffle);
    connect(m_repeat, &PlayerControlButton::triggered, &m_nowPlaying,
            &NowPlayingAggregator::cycleRepeat);
    connect(m_likeButton, &PlayerControlButton::triggered, &m_like, &LikeState::toggle);
    connect(m_progress, &ProgressSection::seekRequested, &m_nowPlaying,
            &NowPlayingAggregator::seek);
    connect(m_badge, &QAbstractButton::clicked, this, &MiniPlayerView::sourceMenuRequested);
    connect(m_artwork, &ArtworkView::clicked, this, &MiniPlayerView::openSourceRequested);
    connect(m_artwork, &ArtworkView::startListeningClicked, this,
            &MiniPlayerView::chooseSourceRequested);

    connect(&m_nowPlaying, &NowPlayingAggregator::nowPlayingChanged, this,
            &MiniPlayerView::refresh);
    connect(&m_nowPlaying, &NowPlayingAggregator::availableSourcesSnapshotChanged, this,
            &MiniPlayerView::refresh);
    connect(&m_nowPlaying, &NowPlayingAggregator::lockedSourceChanged, this,
            &MiniPlayerView::refresh);
    connect(&m_like, &LikeState::likedChanged, this, &MiniPlayerView::refreshLike);
    applyPalette();
}

PlayerControlButton *MiniPlayerView::addControl(const QString &name, QSize size)
{
    auto *button = new PlayerControlButton(name, size, this);
    connect(button, &PlayerControlButton::limitedSupportHovered, this,
            &MiniPlayerView::limitedSupportHovered);
    connect(button, &PlayerControlButton::limitedSupportLeft, this,
            &MiniPlayerView::limitedSupportLeft);
    return button;
}

QSize MiniPlayerView::sizeHint() const
{
    if (m_showLyrics)
        return { PlayerMetrics::columnWidth + PlayerMetrics::lyricsWidth,
                 PlayerMetrics::lyricsPanelHeight };
    return { PlayerMetrics::columnWidth, PlayerMetrics::panelHeight };
}

void MiniPlayerView::setBackdrop(Backdrop backdrop)
{
    if (m_backdrop == backdrop)
        return;
    m_backdrop = backdrop;
    update();
}

void MiniPlayerView::refresh()
{
    const NowPlayingInfo info = m_nowPlaying.nowPlaying();
    const bool anySource = !m_nowPlaying.availableSourcesSnapshot().isEmpty();
    const Source current = Presentation::currentSource(info, m_nowPlaying.lockedSource());
    const SourceCapabilities can = info.capabilities;

    m_artwork->setArtwork(Presentation::artwork(info, anySource), info.artwork.value_or(QImage()),
                          Presentation::placeholderIcon(current));
    m_badge->setVisible(Presentation::showsSourceBadge(info, anySource));
    m_badge->setSource(current);
    m_title->setTrack(info.title, info.artist);
    m_progress->setPlayback(info.elapsedTime, info.duration, can.testFlag(SourceCapability::Seek));
    m_playPause->setPlaying(info.isPlaying);
    m_previous->setSupported(can.testFlag(SourceCapability::Previous));
    m_next->setSupported(can.testFlag(SourceCapability::Next));

    const QColor inactive = withAlpha(m_palette.text, 0.3);
    m_shuffle->setSupported(can.testFlag(SourceCapability::Shuffle));
    m_shuffle->setGlyph(u"shuffle"_s, info.shuffle ? PlayerColors::controlActive : inactive,
                        kToggleGlyph);
    m_shuffle->setDotShown(info.shuffle);
    const bool repeating = info.repeatMode != RepeatMode::Off;
    m_repeat->setSupported(can.testFlag(SourceCapability::Repeat));
    m_repeat->setGlyph(Presentation::repeatIcon(info.repeatMode),
                       repeating ? PlayerColors::controlActive : inactive, kToggleGlyph);
    m_repeat->setDotShown(repeating);
    refreshLike();

    const QString key = Presentation::trackKey(info);
    if (key != m_trackKey) {
        m_trackKey = key;
        if (m_showLyrics)
            fetchLyrics();
    }
}

void MiniPlayerView::refreshLike()
{
    const NowPlayingInfo info = m_nowPlaying.nowPlaying();
    const bool liked = m_like.isLiked();
    m_likeButton->setSupported(m_like.isSupported());
    m_likeButton->setGlyph(Presentation::likeIcon(info, liked),
                           liked ? PlayerColors::likeRed : withAlpha(m_palette.text, 0.85),
                           kLikeGlyph);
}

void MiniPlayerView::applyPalette()
{
    m_palette = PlayerPalette::forAppearance(isDark(palette()));
    m_artwork->setPalette(m_palette);
    m_title->setColors(m_palette.text, m_palette.secondaryText);
    m_progress->setColors(m_palette.text);
    m_playPause->setColors(m_palette.text, m_palette.onPrimary);
    m_previous->setGlyph(u"previous"_s, m_palette.text, kSkipGlyph);
    m_next->setGlyph(u"next"_s, m_palette.text, kSkipGlyph);
    refresh();
    update();
}

void MiniPlayerView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
    QWidget::changeEvent(event);
}

void MiniPlayerView::toggleLyrics()
{
    m_showLyrics = !m_showLyrics;
    // The panel animates to the new size and takes the view along, so that the veil fills it
    // at every step.
    updateGeometry();
    m_artwork->setLyricsShown(m_showLyrics);
    if (m_showLyrics && m_lyrics.lines().isEmpty())
        fetchLyrics();
    update();
    Q_EMIT lyricsToggled(m_showLyrics);
}

void MiniPlayerView::requestLikeToggle()
{
    if (m_like.isSupported())
        m_like.toggle();
    else
        QApplication::beep();
}

void MiniPlayerView::fetchLyrics()
{
    const NowPlayingInfo info = m_nowPlaying.nowPlaying();
    m_lyrics.fetch(info.title, info.artist, info.duration);
}

void MiniPlayerView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor veil = m_palette.veil;
    if (m_backdrop != Backdrop::Blurred) {
        // Without blur the veil alone carries the text; without a compositor it is the panel.
        const bool dark = isDark(palette());
        veil = dark ? QColor(28, 28, 30) : QColor(246, 246, 246);
        veil.setAlphaF(m_backdrop == Backdrop::Opaque ? 1.0f : float(kUnblurredVeilOpacity));
    }
    painter.setClipRegion(event->region());
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), PlayerMetrics::cornerRadius, PlayerMetrics::cornerRadius);
    painter.fillPath(shape, veil);
}

void MiniPlayerView::mousePressEvent(QMouseEvent *event)
{
    // The panel is moved by its background.
    if (event->button() == Qt::LeftButton && window()->windowHandle())
        window()->windowHandle()->startSystemMove();
}

void MiniPlayerView::contextMenuEvent(QContextMenuEvent *event)
{
    m_contextMenu.popup(event->globalPos());
}
