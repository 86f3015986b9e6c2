#include "ui/ProgressSection.h"

#include "ui/PlayerPresentation.h"

#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr qreal kBarHeight = 5;
constexpr qreal kKnobDiameter = 5;
constexpr qreal kGrabHeight = 23;
constexpr qreal kTimesGap = 4;
constexpr int kTimeFontPixels = 10;
constexpr int kKnobFadeMs = 120;
} // namespace

ProgressSection::ProgressSection(int barWidth, QWidget *parent)
    : QWidget(parent), m_barWidth(barWidth), m_text(Qt::black)
{
    QFont times = font();
    times.setPixelSize(kTimeFontPixels);
    setFont(times);
    const int timesHeight = QFontMetrics(times).height();
    setFixedSize(barWidth + 2 * horizontalInset,
                 grabOverhang + int(kBarHeight + kTimesGap) + timesHeight);
    setMouseTracking(true);
    m_knobFade.setDuration(kKnobFadeMs);
    m_knobFade.setEasingCurve(QEasingCurve::OutCubic);
    connect(&m_knobFade, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        m_knobOpacity = value.toReal();
        update();
    });
}

void ProgressSection::setPlayback(double elapsed, double duration, bool canSeek)
{
    if (m_elapsed == elapsed && m_duration == duration && m_canSeek == canSeek)
        return;
    m_elapsed = elapsed;
    m_duration = duration;
    m_canSeek = canSeek;
    updateKnob();
    update();
}

void ProgressSection::setColors(const QColor &text)
{
    m_text = text;
    update();
}

double ProgressSection::fractionAt(const QPointF &position) const
{
    return PlayerPresentation::seekFraction(position.x() - horizontalInset, m_barWidth);
}

bool ProgressSection::inGrabBand(const QPointF &position) const
{
    return position.y() >= 0 && position.y() < kGrabHeight && position.x() >= 0
        && position.x() < width();
}

void ProgressSection::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !inGrabBand(event->position())) {
        event->ignore();
        return;
    }
    m_pressed = true;
    mouseMoveEvent(event);
}

void ProgressSection::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed) {
        setHovering(inGrabBand(event->position()));
        return;
    }
    if (!canSeekNow())
        return;
    m_seeking = true;
    m_seekFraction = fractionAt(event->position());
    updateKnob();
    update();
}

void ProgressSection::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_pressed || event->button() != Qt::LeftButton)
        return;
    m_pressed = false;
    // A source that lost seek during the drag gets no seek; the drag ends either way.
    if (canSeekNow())
        Q_EMIT seekRequested(fractionAt(event->position()) * m_duration);
    m_seeking = false;
    setHovering(inGrabBand(event->position()));
    updateKnob();
    update();
}

void ProgressSection::leaveEvent(QEvent *) { setHovering(false); }

void ProgressSection::setHovering(bool hovering)
{
    if (m_hovering == hovering)
        return;
    m_hovering = hovering;
    updateKnob();
}

void ProgressSection::updateKnob()
{
    const qreal target = m_canSeek && (m_seeking || m_hovering) ? 1.0 : 0.0;
    const qreal heading = m_knobFade.state() == QAbstractAnimation::Running
        ? m_knobFade.endValue().toReal()
        : m_knobOpacity;
    if (heading == target)
        return;
    m_knobFade.stop();
    m_knobFade.setStartValue(m_knobOpacity);
    m_knobFade.setEndValue(target);
    m_knobFade.start();
}

void ProgressSection::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double fraction
        = m_seeking ? m_seekFraction : PlayerPresentation::progress(m_elapsed, m_duration);
    const qreal left = horizontalInset;
    const qreal middle = grabOverhang + kBarHeight / 2;
    const qreal fillWidth = std::clamp(m_barWidth * fraction, 0.0, qreal(m_barWidth));

    painter.setPen(Qt::NoPen);
    // White at 0.3 over the dark veil; on the light one that would vanish, so the text's
    // colour, faint, takes its place there.
    QColor track = m_text.lightness() > 128 ? QColor(Qt::white) : m_text;
    track.setAlphaF(m_text.lightness() > 128 ? 0.3f : 0.15f);
    painter.setBrush(track);
    painter.drawRoundedRect(QRectF(left, middle - 0.5, m_barWidth, 1), 0.5, 0.5);
    painter.setBrush(m_text);
    if (fillWidth > 0)
        painter.drawRoundedRect(QRectF(left, middle - 0.5, fillWidth, 1), 0.5, 0.5);
    if (m_knobOpacity > 0) {
        painter.setOpacity(m_knobOpacity);
        painter.drawEllipse(QPointF(left + fillWidth, middle), kKnobDiameter / 2,
                            kKnobDiameter / 2);
        painter.setOpacity(1);
    }

    const double shownElapsed = m_seeking ? m_seekFraction * m_duration : m_elapsed;
    const QRectF times(left, grabOverhang + kBarHeight + kTimesGap, m_barWidth,
                       height() - (grabOverhang + kBarHeight + kTimesGap));
    painter.setPen(m_text);
    painter.drawText(times, Qt::AlignLeft | Qt::AlignTop,
                     PlayerPresentation::formatTime(shownElapsed));
    painter.drawText(times, Qt::AlignRight | Qt::AlignTop,
                     PlayerPresentation::formatTime(m_duration));
}
