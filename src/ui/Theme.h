#pragma once

#include <QColor>

// The player's colours. Each of the first group has a light and a dark variant, chosen by the
// appearance the settings apply; the fixed colours follow.
struct PlayerPalette
{
    QColor veil;
    QColor text;
    QColor secondaryText;
    QColor onPrimary;
    QColor copyPillFill;
    QColor lyricsHighlight;

    static PlayerPalette forAppearance(bool dark);
};

// The colour at that opacity.
inline QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(float(alpha));
    return color;
}

namespace PlayerColors {
inline const QColor accent { 7, 241, 26 };
inline const QColor controlActive { 5, 161, 18 };
inline const QColor likeRed { 227, 40, 40 };
inline const QColor startListening { 0, 77, 231 };
inline const QColor placeholderCard { 57, 57, 57 };
inline const QColor tooltipCaption { 159, 159, 159 };
} // namespace PlayerColors

namespace PlayerMetrics {
inline constexpr int columnWidth = 240;
inline constexpr int panelHeight = 386;
inline constexpr int lyricsWidth = 360;
inline constexpr int lyricsPanelHeight = 480;
inline constexpr qreal cornerRadius = 15;
} // namespace PlayerMetrics
