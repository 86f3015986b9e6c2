#pragma once

#include <QWidget>

// "Limited Support / Unavailable" in a small dark bubble pointing down at a control the source
// cannot perform. One is made and reused; it never takes focus or the pointer's events.
class LimitedSupportTooltip : public QWidget
{
    Q_OBJECT
public:
    // Without a compositor its shape is cut out of the screen instead of drawn on a clear window.
    explicit LimitedSupportTooltip(bool composited, QWidget *parent = nullptr);

    // Shows it with its tip 4 pixels above the control, centred on it.
    void showAbove(const QRect &controlGlobalRect);

protected:
    void paintEvent(QPaintEvent *event) override;
};
