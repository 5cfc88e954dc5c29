#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <QLabel>
class QAbstractButton;
class QFrame;
class QWidget;

namespace quillobrandt::style {

// Text styles by their designed point sizes, used as pixel sizes so fixed frames keep fitting.
enum class TextStyle { largeTitle, title, title2, title3, headline, body, callout, subheadline, footnote, caption };

QFont font(TextStyle textStyle);
// "System font of size N" with a weight.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);

QColor windowBackground();
QColor controlBackground();
QColor primaryText();
// The secondary label colour of the application's palette (see secondaryColour(const QPalette&)).
QColor secondaryText();
QColor accent();
QColor blue();
QColor gray();
QColor orange();
QColor green();
QColor red();
// The secondary label colour (captions, notes, times): the label colour at half strength over the window where
// that reads 4.5:1, else just as much stronger as text needs, on the window, the control background and the light
// tints (up to a tenth of the label colour) that screens lay behind captions. Opaque.
QColor secondaryColour(const QPalette& palette);
// The same from the widget's own palette.
QColor secondaryColour(const QWidget* widget);
// The same for `label` standing on `background` alone (a selected row on the highlight, a dark chip).
QColor secondaryLabel(const QColor& label, const QColor& background);

// Gives `button` text in the accent's hue, as dark or light as reading it on its window needs: now, and again
// whenever its palette changes (a theme switched while the program runs).
void setAccentText(QAbstractButton& button);

// A word-wrapping label with the given font and colour.
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& colour, QWidget* parent = nullptr);

// A sunken horizontal line between sections.
QFrame* divider(QWidget* parent);

// Closes every visible top-level window whose title is exactly `title`; how the small windows close themselves.
void closeWindowsTitled(const QString& title);

} // namespace quillobrandt::style
