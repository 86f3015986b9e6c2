#pragma once

#include <QAbstractButton>
#include <QColor>

// The round play/pause control: never gated, every source can play and pause.
class PlayPauseButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit PlayPauseButton(QWidget *parent = nullptr);

    void setPlaying(bool playing);
    void setColors(const QColor &circle, const QColor &glyph);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_playing = false;
    QColor m_circle;
    QColor m_glyph;
};
