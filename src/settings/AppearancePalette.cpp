#include "settings/AppearancePalette.h"

QPalette appearancePalette(bool dark)
{
    if (!dark) {
        QPalette light(QColor(0xf2, 0xf2, 0xf2));
        light.setColor(QPalette::Base, Qt::white);
        light.setColor(QPalette::Text, QColor(0x1d, 0x1d, 0x1f));
        light.setColor(QPalette::WindowText, QColor(0x1d, 0x1d, 0x1f));
        light.setColor(QPalette::ButtonText, QColor(0x1d, 0x1d, 0x1f));
        light.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
        light.setColor(QPalette::HighlightedText, Qt::white);
        return light;
    }
    const QColor window(0x1e, 0x1e, 0x20);
    const QColor text(0xf5, 0xf5, 0xf7);
    QPalette palette(window);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2d));
    palette.setColor(QPalette::AlternateBase, QColor(0x32, 0x32, 0x35));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3c));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, QColor(0x2a, 0x2a, 0x2d));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
    palette.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6e, 0x6e, 0x73));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6e, 0x6e, 0x73));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6e, 0x6e, 0x73));
    return palette;
}
