#pragma once

#include <QImage>
#include <QProgressBar>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <set>
#include <string>

namespace gallery {

// What a person would see as broken in a capture, found cheaply from the widget tree.
enum class Fault {
    crushed,      // a visible widget smaller than its minimum size hint
    clippedText,  // a label or button whose text does not fit its box (unless its property "elidesText" is set)
    outside,      // a visible widget reaching outside its window
    missingGlyph, // a character that no font at hand can draw (a box on screen)
    glyphAsIcon,  // a pictograph typed into a text, standing in for a symbol
    foreignIcon,  // a button's icon that is not one of our symbols (a theme's or a style's, machine-dependent)
    unfilledBar,  // a determinate progress bar whose painted fill does not match its value
};

std::string faultName(Fault fault);

struct Finding {
    Fault fault;
    QString detail;
};

// Every finding in the visible widgets of `window` (which must be shown and laid out), whose picture on screen
// is `capture`.
std::vector<Finding> inspect(QWidget& window, const QImage& capture);

// The share of `bar` that `capture` (a picture of `window`) shows filled with the bar's highlight colour, 0..1,
// read along the bar's middle row.
double paintedFill(const QProgressBar& bar, const QWidget& window, const QImage& capture);

// Whether some font at hand (the widget's own, then the colour emoji font) has a glyph for `codePoint`.
bool hasGlyph(const QFont& font, char32_t codePoint);

// The window as it stands on screen: what its backing store holds, so a part that failed to repaint shows as
// the user sees it (a fresh render with grab() would paint it anew).
QImage captureOnScreen(QWidget& window);

// Writes the capture as a PNG into the gallery folder and returns its path.
QString writeCapture(const QImage& capture, const QString& name);

} // namespace gallery
