#include "Quillobrandt/wizard/WizardWidgets.h"

#include <algorithm>

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/app/TextContrast.h"

namespace quillobrandt::wizard {
namespace {

QString colorCss(const QColor& color) {
    return QStringLiteral("color: %1;").arg(color.name(QColor::HexArgb));
}

// The orange of tips and marks as text: the design's orange, darkened on a light window until it reads.
QColor readableOrange(const QWidget* label) {
    return readableOn(orangeColor(), label->palette().color(QPalette::Window));
}

} // namespace

QColor blueColor() {
    return style::blue();
}
QColor readableBlue(const QWidget& widget) {
    QColor tint = blueColor();
    tint.setAlphaF(0.1f);
    return readableOn(blueColor(), blendOver(tint, widget.palette().color(QPalette::Window)));
}
QColor badgeBlue() {
    return readableOn(blueColor(), Qt::white);
}
QColor greenColor() {
    return style::green();
}
QColor orangeColor() {
    return style::orange();
}
QColor accentColor() {
    return style::accent();
}

QLabel* textLabel(const QString& text, TextStyle style, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont font = label->font();
    bool secondary = false;
    switch (style) {
    case TextStyle::title2:
        font.setPixelSize(17);
        font.setWeight(QFont::DemiBold);
        break;
    case TextStyle::title2Bold:
        font.setPixelSize(17);
        font.setBold(true);
        break;
    case TextStyle::title3Medium:
        font.setPixelSize(15);
        font.setWeight(QFont::Medium);
        break;
    case TextStyle::headline:
        font.setPixelSize(13);
        font.setWeight(QFont::DemiBold);
        break;
    case TextStyle::body:
        font.setPixelSize(13);
        break;
    case TextStyle::bodySecondary:
        font.setPixelSize(13);
        secondary = true;
        break;
    case TextStyle::subheadline:
        font.setPixelSize(11);
        break;
    case TextStyle::subheadlineSecondary:
        font.setPixelSize(11);
        secondary = true;
        break;
    case TextStyle::subheadlineMedium:
        font.setPixelSize(11);
        font.setWeight(QFont::Medium);
        break;
    case TextStyle::caption:
        font.setPixelSize(10);
        break;
    case TextStyle::captionSecondary:
        font.setPixelSize(10);
        secondary = true;
        break;
    case TextStyle::tip:
        font.setPixelSize(10);
        label->setStyleSheet(colorCss(readableOrange(label)));
        break;
    }
    label->setFont(font);
    if (secondary) {
        label->setStyleSheet(colorCss(style::secondaryColour(label)));
    }
    return label;
}

QWidget* symbolView(const QString& symbol, int size, const QColor& color, QWidget* parent) {
    return new SymbolIcon(symbol, size, color, parent);
}

QWidget* symbolTextRow(const QString& symbol, const QColor& symbolColor, const QString& text, TextStyle style,
                       QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto* label = textLabel(text, style, row);
    const int size = std::max(12, label->font().pixelSize() + 2);
    // Level with the first line of the text, also when the text wraps.
    auto* iconColumn = new QVBoxLayout;
    iconColumn->setContentsMargins(0, std::max(0, (label->fontMetrics().height() - size) / 2), 0, 0);
    iconColumn->addWidget(new SymbolIcon(symbol, size, symbolColor, row));
    iconColumn->addStretch(1);
    layout->addLayout(iconColumn);
    layout->addWidget(label, 1);
    return row;
}

QWidget* tipRow(const QString& text, QWidget* parent) {
    auto* row = symbolTextRow(QStringLiteral("lightbulb"), orangeColor(), text, TextStyle::tip, parent);
    row->findChild<QLabel*>()->setObjectName(QStringLiteral("tip"));
    row->layout()->setContentsMargins(44, 0, 0, 0);
    return row;
}

void setTrailingSymbol(QAbstractButton& button, const QString& symbol) {
    setButtonSymbol(button, symbol, 14, SymbolInk::label);
    button.setLayoutDirection(Qt::RightToLeft); // the icon after the text
}

QWidget* stepPreviewRow(int number, const QString& text) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    auto* badge = textLabel(QString::number(number), TextStyle::subheadlineMedium, row);
    badge->setObjectName(QStringLiteral("stepNumber"));
    badge->setFixedSize(28, 28);
    badge->setAlignment(Qt::AlignCenter);
    badge->setStyleSheet(
        QStringLiteral("color: %1; border: 2px solid %1; border-radius: 14px;").arg(readableBlue(*badge).name()));
    layout->addWidget(badge);
    layout->addWidget(textLabel(text, TextStyle::subheadlineSecondary, row), 1);
    return row;
}

QWidget* checklistRow(const QString& text, bool required) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(new SymbolIcon(QStringLiteral("checkmark.circle"), 13, blueColor(), row));
    auto* label = textLabel(text, TextStyle::subheadline, row);
    if (!required) {
        layout->addWidget(label, 1);
        return row;
    }
    label->setWordWrap(false);
    layout->addWidget(label);
    auto* mark = new QHBoxLayout;
    mark->setSpacing(3);
    mark->addWidget(new SymbolIcon(QStringLiteral("exclamationmark.triangle.fill"), 12, orangeColor(), row));
    auto* requiredLabel = textLabel(QStringLiteral("REQUIRED"), TextStyle::subheadlineMedium, row);
    requiredLabel->setObjectName(QStringLiteral("requiredMark"));
    requiredLabel->setWordWrap(false);
    requiredLabel->setStyleSheet(colorCss(readableOrange(requiredLabel)));
    mark->addWidget(requiredLabel);
    layout->addLayout(mark);
    layout->addStretch(1);
    return row;
}

QWidget* commandRow(const QString& command, const QString& objectName, const QString& copyName) {
    auto* row = new QWidget;
    row->setObjectName(objectName);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(44, 0, 0, 0);
    layout->setSpacing(8);
    auto* field = new QLineEdit(row);
    field->setReadOnly(true);
    field->setObjectName(QStringLiteral("command"));
    QFont mono(QStringLiteral("monospace"));
    mono.setStyleHint(QFont::Monospace);
    field->setFont(mono);
    auto* copy = new QPushButton(QStringLiteral("Copy"), row);
    copy->setObjectName(QStringLiteral("copyButton"));
    copy->setAccessibleName(copyName);
    copy->setToolTip(copyName);
    QObject::connect(copy, &QPushButton::clicked, field, [field] {
        if (auto* clipboard = QGuiApplication::clipboard()) {
            clipboard->setText(field->text());
        }
    });
    layout->addWidget(field, 1);
    layout->addWidget(copy);
    setCommand(row, command);
    return row;
}

void setCommand(QWidget* commandRow, const QString& command) {
    auto* field = commandRow->findChild<QLineEdit*>(QStringLiteral("command"));
    if (field->text() != command) {
        field->setText(command);
    }
    // The program's name and the device come first: a long folder is what may be cut off.
    field->setCursorPosition(0);
}

} // namespace quillobrandt::wizard
