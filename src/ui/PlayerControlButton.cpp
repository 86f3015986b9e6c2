#include "ui/PlayerControlButton.h"

#include "core/Log.h"
#include "ui/Icons.h"

#include <QApplication>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace {
constexpr qreal kUnsupportedOpacity = 0.28;
constexpr qreal kDotDiameter = 3;
constexpr qreal kDotBelowCentre = 12;
} // namespace

PlayerControlButton::PlayerControlButton(const QString &name, QSize size, QWidget *parent)
    : QAbstractButton(parent), m_name(name)
{
    setFixedSize(size);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(name);
    connect(this, &QAbstractButton::clicked, this, &PlayerControlButton::onClicked);
}

void PlayerControlButton::setSupported(bool supported)
{
    if (m_supported == supported)
        return;
    m_supported = supported;
    if (m_supported && m_hoverReported) {
        m_hoverReported = false;
        unsetCursor();
        Q_EMIT limitedSupportLeft();
    }
    update();
}

void PlayerControlButton::setGlyph(const QString &iconName, const QColor &color, int glyphSize)
{
    if (m_iconName == iconName && m_color == color && m_glyphSize == glyphSize)
        return;
    m_iconName = iconName;
    m_color = color;
    m_glyphSize = glyphSize;
    update();
}

void PlayerControlButton::setDotShown(bool shown)
{
    if (m_dotShown == shown)
        return;
    m_dotShown = shown;
    update();
}

void PlayerControlButton::onClicked()
{
    if (m_supported) {
        Q_EMIT triggered();
        return;
    }
    plainLog(u"Vesper: control blocked — %1 is unavailable for the current source"_s.arg(m_name));
    QApplication::beep();
}

void PlayerControlButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_supported ? 1.0 : kUnsupportedOpacity);
    // The glyph's frame is the square at the top; a toggle is taller, for its dot.
    const QRectF area(0, 0, width(), qMin(width(), height()));
    Icons::paint(painter, area, m_iconName, m_color, m_glyphSize);
    if (m_dotShown) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_color);
        const QPointF centre(area.center().x(), area.center().y() + kDotBelowCentre);
        painter.drawEllipse(centre, kDotDiameter / 2, kDotDiameter / 2);
    }
}

void PlayerControlButton::enterEvent(QEnterEvent *event)
{
    QAbstractButton::enterEvent(event);
    if (m_supported || !window()->isVisible())
        return;
    m_hoverReported = true;
    setCursor(Qt::ForbiddenCursor);
    Q_EMIT limitedSupportHovered(QRect(mapToGlobal(QPoint(0, 0)), size()));
}

void PlayerControlButton::leaveEvent(QEvent *event)
{
    QAbstractButton::leaveEvent(event);
    if (!m_hoverReported)
        return;
    m_hoverReported = false;
    unsetCursor();
    Q_EMIT limitedSupportLeft();
}
