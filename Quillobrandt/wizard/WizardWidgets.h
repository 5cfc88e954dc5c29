#pragma once

#include <QColor>
#include <QString>

class QAbstractButton;
class QLabel;
class QWidget;

// Small building blocks shared by the wizard's screens: text styles, colours, step rows and command rows.
namespace quillobrandt::wizard {

enum class TextStyle {
    title2,
    title2Bold,
    title3Medium,
    headline,
    body,
    bodySecondary,
    subheadline,
    subheadlineSecondary,
    subheadlineMedium,
    caption,
    captionSecondary,
    tip,
};

QColor blueColor();
QColor greenColor();
QColor orangeColor();
QColor accentColor();
// The blue of step numbers and titles as text: the design's blue, as dark (or light) as reading it 4.5:1 needs on
// the window of `widget` and on the light blue tints (up to a tenth) that the screens lay behind their lists.
QColor readableBlue(const QWidget& widget);
// The blue of a filled badge that carries a white number: the design's blue, deep enough for the white to read.
QColor badgeBlue();

QLabel* textLabel(const QString& text, TextStyle style, QWidget* parent = nullptr);
// A symbol of `size` pixels in `color` (a screen's large icon, a card's symbol).
QWidget* symbolView(const QString& symbol, int size, const QColor& color, QWidget* parent = nullptr);
// A symbol before a text, both in the text's style; the symbol as tall as the text's letters.
QWidget* symbolTextRow(const QString& symbol, const QColor& symbolColor, const QString& text, TextStyle style,
                       QWidget* parent = nullptr);
// A tip line: the light bulb and the text, orange, indented as far as a step's text.
QWidget* tipRow(const QString& text, QWidget* parent = nullptr);
// A main button's label: its text, then the symbol after it.
void setTrailingSymbol(QAbstractButton& button, const QString& symbol);
// A numbered step: a circled number and its text.
QWidget* stepPreviewRow(int number, const QString& text);
// A check-marked line; a required one ends with a warning sign and "REQUIRED".
QWidget* checklistRow(const QString& text, bool required = false);
// A shell command in a read-only field that shows its start, with a "Copy" button putting the whole command on
// the clipboard. `copyName` is what a screen reader says for that button (every one of them reads "Copy").
QWidget* commandRow(const QString& command, const QString& objectName, const QString& copyName);
// Replaces the command a commandRow shows and copies.
void setCommand(QWidget* commandRow, const QString& command);

} // namespace quillobrandt::wizard
