#include "ui/LimitedSupportTooltip.h"

#include "ui/Theme.h"

#include <QPainter>
#include <QPainterPath>

using namespace Qt::StringLiterals;

namespace {
constexpr qreal kWidth = 111;
constexpr qreal kHeight = 52.5;
constexpr qreal kBubbleHeight = 45;
constexpr qreal kBubbleRadius = 6;
constexpr QSizeF kTriangle { 13, 7.5 };
constexpr qreal kGap = 4;
constexpr qreal kFillOpacity = 0.9;
// Room for the bubble's shadow to spread on every side.
constexpr int kShadowMargin = 3;
} // namespace

namespace {
QPainterPath bubbleShape()
{
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, kWidth, kBubbleHeight), kBubbleRadius, kBubbleRadius);
    const qreal middle = kWidth / 2;
    QPainterPath triangle;
    triangle.moveTo(middle - kTriangle.width() / 2, kBubbleHeight);
    triangle.lineTo(middle + kTriangle.width() / 2, kBubbleHeight);
    triangle.lineTo(middle, kBubbleHeight + kTriangle.height());
    triangle.closeSubpath();
    return shape.united(triangle);
}
} // namespace

LimitedSupportTooltip::LimitedSupportTooltip(bool composited, QWidget *parent)
    : QWidget(parent,
              Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus
                  | Qt::WindowTransparentForInput)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedSize(int(std::ceil(kWidth)) + 2 * kShadowMargin,
                 int(std::ceil(kHeight)) + 2 * kShadowMargin);
    if (!composited) {
        setMask(QRegion(
            bubbleShape().translated(kShadowMargin, kShadowMargin).toFillPolygon().toPolygon()));
    }
}

void LimitedSupportTooltip::showAbove(const QRect &control)
{
    const qreal left = control.x() + control.width() / 2.0 - kWidth / 2;
    const qreal top = control.y() - kGap - kHeight;
    move(qRound(left) - kShadowMargin, qRound(top) - kShadowMargin);
    show();
    raise();
}

void LimitedSupportTooltip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(kShadowMargin, kShadowMargin);
    const QRectF bubble(0, 0, kWidth, kBubbleHeight);

    // A soft shadow of black at 0.25, about 2 pixels wide.
    painter.setPen(Qt::NoPen);
    for (int ring = 2; ring >= 1; --ring) {
        painter.setBrush(QColor(0, 0, 0, 32 / ring));
        painter.drawRoundedRect(bubble.adjusted(-ring, -ring + 1, ring, ring + 1),
                                kBubbleRadius + ring, kBubbleRadius + ring);
    }

    QColor fill(Qt::black);
    fill.setAlphaF(kFillOpacity);
    painter.fillPath(bubbleShape(), fill);

    QFont caption = font();
    caption.setPixelSize(10);
    QFont value = font();
    value.setPixelSize(14);
    const QFontMetricsF captionMetrics(caption);
    const QFontMetricsF valueMetrics(value);
    const qreal spacing = 2;
    const qreal block = captionMetrics.height() + spacing + valueMetrics.height();
    const qreal top = (kBubbleHeight - block) / 2;
    painter.setFont(caption);
    painter.setPen(PlayerColors::tooltipCaption);
    painter.drawText(QRectF(0, top, kWidth, captionMetrics.height()), Qt::AlignCenter,
                     u"Limited Support"_s);
    painter.setFont(value);
    painter.setPen(Qt::white);
    painter.drawText(
        QRectF(0, top + captionMetrics.height() + spacing, kWidth, valueMetrics.height()),
        Qt::AlignCenter, u"Unavailable"_s);
}
