#pragma once

#include <QColor>
#include <QPalette>

namespace qbtest {

// A dark desktop palette, as a dark theme hands it to the application.
inline QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
    palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    palette.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x26));
    palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    palette.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::PlaceholderText, QColor(0x99, 0x99, 0x99));
    palette.setColor(QPalette::Highlight, QColor(0x2a, 0x6d, 0xd4));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

} // namespace qbtest
