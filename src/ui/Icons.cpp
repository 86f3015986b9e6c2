#include "ui/Icons.h"

#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <cmath>

using namespace Qt::StringLiterals;

// The glyphs live in a static library: their resource is registered on first use. (Outside any
// namespace, as the resource's registration function is.)
static void loadGlyphs() { Q_INIT_RESOURCE(icons); }

namespace Icons {

QPixmap pixmap(const QString &name, const QColor &color, int logicalSize, qreal devicePixelRatio)
{
    const int side = qMax(1, qRound(logicalSize * devicePixelRatio));
    const QString key
        = u"vesper-icon:%1:%2:%3"_s.arg(name, QString::number(color.rgba(), 16)).arg(side);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached))
        return cached;
    static const bool loaded = (loadGlyphs(), true);
    Q_UNUSED(loaded);

    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(u":/icons/%1.svg"_s.arg(name));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, side, side));
    // The glyphs are black; their coverage takes the colour asked for.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    painter.end();

    cached = QPixmap::fromImage(std::move(image));
    cached.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, cached);
    return cached;
}

void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color,
           int logicalSize)
{
    const qreal ratio = painter.device()->devicePixelRatioF();
    const QPixmap glyph = pixmap(name, color, logicalSize, ratio);
    // On whole device pixels, so that the glyph stays as crisp as it was rendered.
    const auto snap = [ratio](qreal value) { return std::round(value * ratio) / ratio; };
    painter.drawPixmap(QPointF(snap(rect.center().x() - logicalSize / 2.0),
                               snap(rect.center().y() - logicalSize / 2.0)),
                       glyph);
}

} // namespace Icons
