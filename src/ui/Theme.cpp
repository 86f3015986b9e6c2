#include "ui/Theme.h"

PlayerPalette PlayerPalette::forAppearance(bool dark)
{
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    if (dark)
        return { withAlpha(black, 0.45), white,
                 withAlpha(white, 0.5),  black,
                 withAlpha(white, 0.14), withAlpha(PlayerColors::accent, 0.2) };
    return { withAlpha(white, 0.45), black,
             withAlpha(black, 0.35), white,
             withAlpha(white, 0.55), withAlpha(PlayerColors::accent, 0.6) };
}
