#pragma once

#include <QColor>
#include <QString>

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

QLabel* textLabel(const QString& text, TextStyle style, QWidget* parent = nullptr);
// A large glyph standing for the screen's symbol.
QLabel* symbolLabel(const QString& glyph, int pixelSize, const QColor& color, QWidget* parent = nullptr);
// A numbered step: a circled number and its text.
QWidget* stepPreviewRow(int number, const QString& text);
// A check-marked line.
QWidget* checklistRow(const QString& text);
// A shell command in a read-only field that shows its start, with a "Copy" button putting the whole command on
// the clipboard.
QWidget* commandRow(const QString& command, const QString& objectName);
// Replaces the command a commandRow shows and copies.
void setCommand(QWidget* commandRow, const QString& command);

} // namespace quillobrandt::wizard
