#include "ui/FloatingPanel.h"

#include "core/Log.h"
#include "platform/PanelWindowSystem.h"
#include "settings/AppSettings.h"
#include "ui/MiniPlayerView.h"
#include "ui/Theme.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QPainterPath>
#include <QScreen>
#include <QWindow>

namespace {
constexpr int kScreenMargin = 20;
constexpr int kResizeMs = 280;

QRegion roundedRegion(const QRect &rect)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(rect), PlayerMetrics::cornerRadius, PlayerMetrics::cornerRadius);
    return QRegion(path.toFillPolygon().toPolygon());
}
} // namespace

FloatingPanel::FloatingPanel(MiniPlayerView *view, PanelWindowSystem &windowSystem,
                             AppSettings &settings, QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus
                  | (settings.alwaysOnTop() ? Qt::WindowStaysOnTopHint : Qt::Widget)),
      m_view(view), m_windowSystem(windowSystem), m_settings(settings), m_resize(this, "geometry")
{
    setWindowTitle(QStringLiteral("Vesper"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    m_view->setParent(this);
    m_view->move(0, 0);
    m_view->setBackdrop(m_windowSystem.backdrop());
    resize(m_view->sizeHint());
    m_resize.setDuration(kResizeMs);
    m_resize.setEasingCurve(QEasingCurve::InOutCubic);

    connect(&m_settings, &AppSettings::alwaysOnTopChanged, this, &FloatingPanel::applyAlwaysOnTop);
    connect(m_view, &MiniPlayerView::lyricsToggled, this, &FloatingPanel::resizeForLyrics);
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &FloatingPanel::keepOnAScreen,
            Qt::QueuedConnection);
}

void FloatingPanel::moveToStartPlace()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.right() + 1 - width() - kScreenMargin, area.top() + kScreenMargin);
}

void FloatingPanel::togglePanel()
{
    if (isVisible())
        hide();
    else
        showPanel();
}

void FloatingPanel::showPanel()
{
    // Asked for before the window is mapped: that is when the window manager reads it.
    winId();
    if (QWindow *window = windowHandle())
        m_windowSystem.setPanelStates(*window);
    show();
}

void FloatingPanel::applyAlwaysOnTop()
{
    // Changed on the native window, so that the panel is not hidden and shown again.
    if (QWindow *window = windowHandle())
        window->setFlag(Qt::WindowStaysOnTopHint, m_settings.alwaysOnTop());
    else
        setWindowFlag(Qt::WindowStaysOnTopHint, m_settings.alwaysOnTop());
}

void FloatingPanel::resizeForLyrics(bool)
{
    const QRect from = geometry();
    QRect to(QPoint(0, 0), m_view->sizeHint());
    to.moveTopRight(from.topRight());
    m_resize.stop();
    m_resize.setStartValue(from);
    m_resize.setEndValue(to);
    m_resize.start();
}

void FloatingPanel::keepOnAScreen()
{
    const QRect frame = geometry();
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen->availableGeometry().intersects(frame))
            return;
    }
    moveToStartPlace();
}

void FloatingPanel::resizeEvent(QResizeEvent *)
{
    m_view->resize(size());
    const QRegion shape = roundedRegion(rect());
    switch (m_windowSystem.backdrop()) {
    case PanelWindowSystem::Backdrop::Opaque:
        // Without a compositor the corners are cut by the window's shape.
        setMask(shape);
        break;
    case PanelWindowSystem::Backdrop::Blurred:
        if (QWindow *window = windowHandle())
            m_windowSystem.setBlurBehind(*window, shape);
        break;
    case PanelWindowSystem::Backdrop::Translucent:
        break;
    }
}

void FloatingPanel::paintEvent(QPaintEvent *)
{
    // For the start-up benchmark: when the first frame was drawn, in wall-clock milliseconds.
    if (!std::exchange(m_painted, true))
        qCDebug(lcApp).noquote() << "first panel frame painted at"
                                 << QDateTime::currentMSecsSinceEpoch();
}

void FloatingPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    resizeEvent(nullptr);
    Q_EMIT shownChanged(true);
}

void FloatingPanel::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    Q_EMIT shownChanged(false);
}
