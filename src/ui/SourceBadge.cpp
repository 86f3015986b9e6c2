#include "ui/SourceBadge.h"

#include "ui/Icons.h"
#include "ui/PlayerPresentation.h"

#include <QIcon>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace {
constexpr int kSize = 24;
constexpr int kGlyphSize = 16;

// A desktop player's own icon from the icon theme, when the desktop has one.
QIcon themeIcon(const Source &source)
{
    if (source.kind() == Source::Spotify) {
        for (const QString &name : { u"spotify-client"_s, u"com.spotify.Client"_s, u"spotify"_s }) {
            if (QIcon::hasThemeIcon(name))
                return QIcon::fromTheme(name);
        }
    }
    return {};
}
} // namespace

SourceBadge::SourceBadge(QWidget *parent) : QAbstractButton(parent)
{
    setFixedSize(kSize, kSize);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(u"Music Source"_s);
}

void SourceBadge::setSource(const Source &source)
{
    if (source == m_source)
        return;
    m_source = source;
    setToolTip(source.displayName());
    update();
}

void SourceBadge::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QIcon icon = themeIcon(m_source);
    if (!icon.isNull()) {
        icon.paint(&painter, rect());
        return;
    }
    // Our glyph on a dark disc, legible over any cover.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 110));
    painter.drawEllipse(QRectF(rect()));
    Icons::paint(painter, rect(), PlayerPresentation::placeholderIcon(m_source), Qt::white,
                 kGlyphSize);
}
