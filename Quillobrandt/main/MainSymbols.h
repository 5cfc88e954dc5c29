#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace quillobrandt {

// The few symbols of the main window, drawn by us (no icon theme is assumed): "desktopcomputer",
// "iphone", "folder", "chevron.left", "magnifyingglass", "person.3.fill", "bubble.left.and.bubble.right".
// An unknown name gives a transparent pixmap.
QPixmap mainSymbol(const QString& name, const QColor& color, int size);

} // namespace quillobrandt
