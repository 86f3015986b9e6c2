#pragma once

#include <QWidget>

// The title (or "Nothing Playing") over the artist, each on one elided line.
class TrackTitle : public QWidget
{
    Q_OBJECT
public:
    explicit TrackTitle(int width, QWidget *parent = nullptr);

    void setTrack(const QString &title, const QString &artist);
    void setColors(const QColor &text, const QColor &secondary);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QFont m_titleFont;
    QFont m_artistFont;
    QString m_title;
    QString m_artist;
    QColor m_text;
    QColor m_secondary;
};
