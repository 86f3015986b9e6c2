#pragma once

#include "ui/PlayerPresentation.h"
#include "ui/Theme.h"

#include <QImage>
#include <QPixmap>
#include <QWidget>

class QPushButton;

// The 240 × 240 top of the player: the cover, a grey card with the source's glyph while there is
// none, or, when nothing plays and nothing could, the headphones and "Start Listening". With the
// lyrics open the cover becomes a smaller card.
class ArtworkView : public QWidget
{
    Q_OBJECT
public:
    explicit ArtworkView(QWidget *parent = nullptr);

    void setArtwork(PlayerPresentation::Artwork state, const QImage &image,
                    const QString &placeholderIcon);
    void setLyricsShown(bool shown);
    void setPalette(const PlayerPalette &palette);

Q_SIGNALS:
    void clicked();
    void startListeningClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QRectF cardRect() const;
    void paintCover(QPainter &painter, const QRectF &card);
    void layoutButton();

    PlayerPresentation::Artwork m_state = PlayerPresentation::Artwork::NoSource;
    QImage m_image;
    QPixmap m_scaled; // the cover at the card's size in device pixels
    QString m_placeholderIcon;
    bool m_lyricsShown = false;
    PlayerPalette m_palette = PlayerPalette::forAppearance(false);
    QPushButton *m_startListening;
};
