#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <QLabel>
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
QColor secondaryText();
QColor accent();
QColor blue();
QColor gray();
QColor orange();
QColor green();
QColor red();
// The widget's own label colour at half opacity, for captions and symbols.
QColor secondaryColour(const QWidget* widget);

// A word-wrapping label with the given font and colour.
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& colour, QWidget* parent = nullptr);

// A sunken horizontal line between sections.
QFrame* divider(QWidget* parent);

// Closes every visible top-level window whose title is exactly `title`; how the small windows close themselves.
void closeWindowsTitled(const QString& title);

} // namespace quillobrandt::style
