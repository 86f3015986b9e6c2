#include "ui/TrackTitle.h"

#include <QPainter>

using namespace Qt::StringLiterals;

namespace {
constexpr int kTitlePixels = 14;
constexpr int kArtistPixels = 11;
constexpr int kArtistLineHeight = 14;
// Far more than a line can show; eliding a text of megabytes would stall every paint.
constexpr qsizetype kMaxShownLength = 512;

QString shortened(const QString &text)
{
    if (text.size() <= kMaxShownLength)
        return text;
    qsizetype length = kMaxShownLength;
    if (text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}
} // namespace

TrackTitle::TrackTitle(int width, QWidget *parent) : QWidget(parent)
{
    m_titleFont = font();
    m_titleFont.setPixelSize(kTitlePixels);
    m_titleFont.setWeight(QFont::DemiBold);
    m_artistFont = font();
    m_artistFont.setPixelSize(kArtistPixels);
    setFixedSize(width, QFontMetrics(m_titleFont).height() + kArtistLineHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TrackTitle::setTrack(const QString &title, const QString &artist)
{
    const QString shownTitle = title.isEmpty() ? u"Nothing Playing"_s : shortened(title);
    const QString shownArtist = shortened(artist);
    if (shownTitle == m_title && shownArtist == m_artist)
        return;
    m_title = shownTitle;
    m_artist = shownArtist;
    update();
}

void TrackTitle::setColors(const QColor &text, const QColor &secondary)
{
    m_text = text;
    m_secondary = secondary;
    update();
}

void TrackTitle::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QFontMetrics titleMetrics(m_titleFont);
    const QRect titleLine(0, 0, width(), titleMetrics.height());
    painter.setFont(m_titleFont);
    painter.setPen(m_text);
    // One line: line breaks and tabs in a tag read as spaces.
    const auto oneLine = [](QString text) {
        return text.replace(u'\n', u' ').replace(u'\r', u' ').replace(u'\t', u' ');
    };
    painter.drawText(titleLine, Qt::AlignLeft | Qt::AlignVCenter,
                     titleMetrics.elidedText(oneLine(m_title), Qt::ElideRight, width()));
    painter.setFont(m_artistFont);
    painter.setPen(m_secondary);
    const QRect artistLine(0, titleLine.bottom() + 1, width(), kArtistLineHeight);
    painter.drawText(
        artistLine, Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(m_artistFont).elidedText(oneLine(m_artist), Qt::ElideRight, width()));
}
