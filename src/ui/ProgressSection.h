#pragma once

#include <QVariantAnimation>
#include <QWidget>

// The seek bar and the two times under it. The line is 1 pixel high, but the pointer grabs it
// anywhere in a band 23 pixels high; a press or a drag only moves what is shown, and the seek is
// sent once, on release, to where the pointer let go.
class ProgressSection : public QWidget
{
    Q_OBJECT
public:
    // Around the bar's width: room for the knob where it overhangs the ends.
    static constexpr int horizontalInset = 3;
    // From the top of the grab band to the top of the 5-pixel bar.
    static constexpr int grabOverhang = 9;

    ProgressSection(int barWidth, QWidget *parent = nullptr);

    // Seconds; canSeek is the source's seek capability.
    void setPlayback(double elapsed, double duration, bool canSeek);
    void setColors(const QColor &text);
    bool isSeeking() const { return m_seeking; }

Q_SIGNALS:
    void seekRequested(double seconds);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool canSeekNow() const { return m_duration > 0 && m_canSeek; }
    double fractionAt(const QPointF &position) const;
    bool inGrabBand(const QPointF &position) const;
    void setHovering(bool hovering);
    void updateKnob();

    int m_barWidth;
    double m_elapsed = 0;
    double m_duration = 0;
    bool m_canSeek = false;
    bool m_seeking = false;
    bool m_pressed = false;
    double m_seekFraction = 0;
    bool m_hovering = false;
    qreal m_knobOpacity = 0;
    QVariantAnimation m_knobFade;
    QColor m_text;
};
