#include "ui/PlayPauseButton.h"

#include "ui/Icons.h"

#include <QPainter>

using namespace Qt::StringLiterals;

namespace {
constexpr int kDiameter = 36;
constexpr int kGlyphSize = 18;
} // namespace

PlayPauseButton::PlayPauseButton(QWidget *parent) : QAbstractButton(parent)
{
    setFixedSize(kDiameter, kDiameter);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(u"Play/Pause"_s);
}

void PlayPauseButton::setPlaying(bool playing)
{
    if (m_playing == playing)
        return;
    m_playing = playing;
    update();
}

void PlayPauseButton::setColors(const QColor &circle, const QColor &glyph)
{
    m_circle = circle;
    m_glyph = glyph;
    update();
}

void PlayPauseButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_circle);
    painter.drawEllipse(QRectF(rect()));
    // The play triangle's weight sits left of its box; one pixel right centres it to the eye.
    const QRectF glyph = QRectF(rect()).translated(m_playing ? 0 : 1, 0);
    Icons::paint(painter, glyph, m_playing ? u"pause"_s : u"play"_s, m_glyph, kGlyphSize);
}
