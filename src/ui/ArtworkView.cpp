#include "ui/ArtworkView.h"

#include "ui/Icons.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace {
constexpr qreal kCardSide = 180;
constexpr qreal kCardRadius = 5;
constexpr int kHeadphonesSize = 44;
constexpr int kColumnSpacing = 26;
constexpr int kNoteSize = 52;
constexpr int kPlayerGlyphSize = 64;
constexpr int kButtonFontPixels = 15;
constexpr QMargins kButtonPadding { 20, 12, 20, 12 };

// The image scaled to cover the size, centred, the overhang cut off.
QPixmap covering(const QImage &image, QSize size, qreal ratio)
{
    const QSize device = size * ratio;
    QImage scaled = image.scaled(device, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    scaled = scaled.copy((scaled.width() - device.width()) / 2,
                         (scaled.height() - device.height()) / 2, device.width(), device.height());
    QPixmap pixmap = QPixmap::fromImage(scaled);
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}
} // namespace

ArtworkView::ArtworkView(QWidget *parent)
    : QWidget(parent), m_startListening(new QPushButton(u"Start Listening"_s, this))
{
    setFixedSize(PlayerMetrics::columnWidth, PlayerMetrics::columnWidth);
    setCursor(Qt::PointingHandCursor);
    QFont font = m_startListening->font();
    font.setPixelSize(kButtonFontPixels);
    m_startListening->setFont(font);
    m_startListening->setFocusPolicy(Qt::NoFocus);
    m_startListening->setCursor(Qt::PointingHandCursor);
    const QSize text = QFontMetrics(font).size(Qt::TextSingleLine, m_startListening->text());
    const QSize button = text.grownBy(kButtonPadding);
    m_startListening->setFixedSize(button);
    m_startListening->setStyleSheet(
        u"QPushButton { color: white; background: rgb(0, 77, 231); border: none;"
        " border-radius: %1px; } QPushButton:pressed { background: rgb(0, 62, 190); }"_s.arg(
            button.height() / 2));
    connect(m_startListening, &QPushButton::clicked, this, &ArtworkView::startListeningClicked);
    m_startListening->hide();
}

void ArtworkView::setArtwork(PlayerPresentation::Artwork state, const QImage &image,
                             const QString &placeholderIcon)
{
    const bool sameImage = m_image.cacheKey() == image.cacheKey();
    if (m_state == state && sameImage && m_placeholderIcon == placeholderIcon)
        return;
    m_state = state;
    if (!sameImage) {
        m_image = image;
        m_scaled = QPixmap();
    }
    m_placeholderIcon = placeholderIcon;
    m_startListening->setVisible(state == PlayerPresentation::Artwork::NoSource);
    layoutButton();
    update();
}

void ArtworkView::setLyricsShown(bool shown)
{
    if (m_lyricsShown == shown)
        return;
    m_lyricsShown = shown;
    m_scaled = QPixmap();
    update();
}

void ArtworkView::setPalette(const PlayerPalette &palette)
{
    m_palette = palette;
    update();
}

QRectF ArtworkView::cardRect() const
{
    if (!m_lyricsShown)
        return rect();
    return QRectF((width() - kCardSide) / 2, (height() - kCardSide) / 2, kCardSide, kCardSide);
}

void ArtworkView::layoutButton()
{
    const int block = kHeadphonesSize + kColumnSpacing + m_startListening->height();
    const int top = (height() - block) / 2;
    m_startListening->move((width() - m_startListening->width()) / 2,
                           top + kHeadphonesSize + kColumnSpacing);
}

void ArtworkView::resizeEvent(QResizeEvent *) { layoutButton(); }

void ArtworkView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}

void ArtworkView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF card = cardRect();

    QPainterPath shape;
    if (m_lyricsShown) {
        // A card lifted off the veil: black at 0.2, soft, 4 pixels down.
        painter.setPen(Qt::NoPen);
        for (int ring = 7; ring >= 1; ring -= 2) {
            painter.setBrush(QColor(0, 0, 0, 8));
            painter.drawRoundedRect(card.translated(0, 4).adjusted(-ring, -ring, ring, ring),
                                    kCardRadius + ring, kCardRadius + ring);
        }
        shape.addRoundedRect(card, kCardRadius, kCardRadius);
    } else {
        // The two top corners follow the panel's; the bottom ones are square.
        const qreal r = PlayerMetrics::cornerRadius;
        shape.moveTo(card.left(), card.bottom());
        shape.lineTo(card.left(), card.top() + r);
        shape.arcTo(QRectF(card.left(), card.top(), 2 * r, 2 * r), 180, -90);
        shape.lineTo(card.right() - r, card.top());
        shape.arcTo(QRectF(card.right() - 2 * r, card.top(), 2 * r, 2 * r), 90, -90);
        shape.lineTo(card.right(), card.bottom());
        shape.closeSubpath();
    }
    painter.setClipPath(shape);
    paintCover(painter, card);
}

void ArtworkView::paintCover(QPainter &painter, const QRectF &card)
{
    using PlayerPresentation::Artwork;
    switch (m_state) {
    case Artwork::Image:
        if (m_scaled.isNull())
            m_scaled = covering(m_image, card.size().toSize(), devicePixelRatioF());
        painter.drawPixmap(card.topLeft(), m_scaled);
        return;
    case Artwork::NoSource: {
        painter.fillRect(card, QColor(0, 0, 0, 26));
        QColor glyph = m_palette.text;
        glyph.setAlphaF(0.4f);
        const QRectF headphones(card.center().x() - kHeadphonesSize / 2.0,
                                m_startListening->y() - kColumnSpacing - kHeadphonesSize,
                                kHeadphonesSize, kHeadphonesSize);
        Icons::paint(painter, headphones, u"headphones"_s, glyph, kHeadphonesSize);
        return;
    }
    case Artwork::Placeholder: {
        painter.fillRect(card, PlayerColors::placeholderCard);
        const bool note = m_placeholderIcon == u"music-note"_s;
        painter.setOpacity(0.3);
        Icons::paint(painter, card, m_placeholderIcon, Qt::white,
                     note ? kNoteSize : kPlayerGlyphSize);
        painter.setOpacity(1);
        return;
    }
    }
}
