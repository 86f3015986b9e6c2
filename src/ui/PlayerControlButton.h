#pragma once

#include <QAbstractButton>
#include <QColor>

// A transport or like control. One the source cannot perform stays visible and clickable: it is
// dimmed, a click only logs and beeps, and resting the pointer on it asks for the
// limited-support tooltip.
class PlayerControlButton : public QAbstractButton
{
    Q_OBJECT
public:
    // `name` is what the log line calls the control ("Previous Track").
    PlayerControlButton(const QString &name, QSize size, QWidget *parent = nullptr);

    void setSupported(bool supported);
    bool isSupported() const { return m_supported; }
    // The glyph, its colour and its size in logical pixels.
    void setGlyph(const QString &iconName, const QColor &color, int glyphSize);
    // A small dot of the glyph's colour under it, for a toggle that is on.
    void setDotShown(bool shown);

Q_SIGNALS:
    // Clicked while supported.
    void triggered();
    // The pointer rests on, or left, an unsupported control; the rectangle is in global
    // coordinates.
    void limitedSupportHovered(const QRect &globalRect);
    void limitedSupportLeft();

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void onClicked();

    QString m_name;
    QString m_iconName;
    QColor m_color;
    int m_glyphSize = 15;
    bool m_supported = true;
    bool m_dotShown = false;
    bool m_hoverReported = false;
};
