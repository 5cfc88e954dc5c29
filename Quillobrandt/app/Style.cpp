#include "Quillobrandt/app/Style.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QWidget>

#include "Quillobrandt/app/TextContrast.h"

namespace quillobrandt::style {

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont result = QGuiApplication::font();
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}

QFont font(TextStyle textStyle) {
    switch (textStyle) {
    case TextStyle::largeTitle:
        return systemFont(26);
    case TextStyle::title:
        return systemFont(22);
    case TextStyle::title2:
        return systemFont(17);
    case TextStyle::title3:
        return systemFont(15);
    case TextStyle::headline:
        return systemFont(13, QFont::DemiBold);
    case TextStyle::body:
        return systemFont(13);
    case TextStyle::callout:
        return systemFont(12);
    case TextStyle::subheadline:
        return systemFont(11);
    case TextStyle::footnote:
        return systemFont(10);
    case TextStyle::caption:
        return systemFont(10);
    }
    return systemFont(13);
}

QColor windowBackground() {
    return QGuiApplication::palette().color(QPalette::Window);
}
QColor controlBackground() {
    return QGuiApplication::palette().color(QPalette::Base);
}
QColor primaryText() {
    return QGuiApplication::palette().color(QPalette::WindowText);
}

namespace {

// The designed secondary label: the label colour at half strength.
constexpr double kSecondaryShare = 0.5;
// The strongest tint of the label colour that screens lay behind secondary text (step counters, note boxes).
constexpr double kCaptionTint = 0.1;

QColor mix(const QColor& from, const QColor& to, double share) {
    const QColor a = from.toRgb();
    const QColor b = to.toRgb();
    const auto channel = [share](float x, float y) { return static_cast<float>(x + (y - x) * share); };
    return QColor::fromRgbF(channel(a.redF(), b.redF()), channel(a.greenF(), b.greenF()),
                            channel(a.blueF(), b.blueF()));
}

} // namespace

QColor secondaryColour(const QPalette& palette) {
    const QColor label = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    return readableMix(label, window, kSecondaryShare,
                       {palette.color(QPalette::Base), mix(window, label, kCaptionTint)});
}

QColor secondaryText() {
    return secondaryColour(QGuiApplication::palette());
}

QColor secondaryColour(const QWidget* widget) {
    return secondaryColour(widget->palette());
}

QColor secondaryLabel(const QColor& label, const QColor& background) {
    return readableMix(label, background, kSecondaryShare);
}

QColor accent() {
    return QColor(0xFF, 0x8C, 0x78);
}
QColor blue() {
    return QColor(0x00, 0x7A, 0xFF);
}
QColor gray() {
    return QColor(0x8E, 0x8E, 0x93);
}
QColor orange() {
    return QColor(0xFF, 0x95, 0x00);
}
QColor green() {
    return QColor(0x28, 0xCD, 0x41);
}
QColor red() {
    return QColor(0xFF, 0x3B, 0x30);
}

namespace {

// Keeps a button's accent text readable on whatever window its palette brings.
class AccentText final : public QObject {
public:
    explicit AccentText(QAbstractButton& button) : QObject(&button), button_(button) {
        apply();
        button.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &button_ && event->type() == QEvent::PaletteChange) {
            apply(); // setting the same colour again sends no further change
        }
        return false;
    }

private:
    void apply() {
        QPalette palette = button_.palette();
        const QColor text = readableOn(accent(), palette.color(QPalette::Window));
        if (palette.color(QPalette::ButtonText) != text ||
            !palette.isBrushSet(QPalette::Active, QPalette::ButtonText)) {
            palette.setColor(QPalette::ButtonText, text);
            button_.setPalette(palette);
        }
    }

    QAbstractButton& button_;
};

} // namespace

void setAccentText(QAbstractButton& button) {
    new AccentText(button);
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* makeLabel(const QString& text, const QFont& labelFont, const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(labelFont);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

void closeWindowsTitled(const QString& title) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == title) {
            widget->close();
        }
    }
}

} // namespace quillobrandt::style
