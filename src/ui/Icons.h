#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

class QPainter;

// Vesper's monochrome glyphs (":/icons/<name>.svg"), rendered at the device's pixel ratio and
// recoloured at paint time; each rendition is cached.
namespace Icons {

QPixmap pixmap(const QString &name, const QColor &color, int logicalSize, qreal devicePixelRatio);
// Paints the glyph centred in the rectangle at that logical size.
void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color,
           int logicalSize);

} // namespace Icons
