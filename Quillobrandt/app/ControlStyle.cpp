#include "Quillobrandt/app/ControlStyle.h"

#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/TextContrast.h"

namespace quillobrandt {

QColor ControlStyle::indicatorEdge(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    if (window.lightness() >= 128) {
        return {}; // a light window: the base style's darker edge shows well
    }
    const QColor text = palette.color(QPalette::WindowText);
    // Two thirds of the way from the window to the label colour: clearly an edge, quieter than text.
    const auto mix = [](int from, int to) { return from + (to - from) * 2 / 3; };
    return QColor(mix(window.red(), text.red()), mix(window.green(), text.green()), mix(window.blue(), text.blue()));
}

void ControlStyle::polish(QPalette& palette) {
    QProxyStyle::polish(palette);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        const QColor field = palette.color(group, QPalette::Base);
        if (contrastOver(palette.color(group, QPalette::PlaceholderText), field, field) < readableContrast) {
            palette.setColor(group, QPalette::PlaceholderText,
                             style::secondaryLabel(palette.color(group, QPalette::Text), field));
        }
    }
}

void ControlStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    const bool checkBox = element == PE_IndicatorCheckBox;
    if ((!checkBox && element != PE_IndicatorRadioButton) || option == nullptr) {
        return;
    }
    const QColor edge = indicatorEdge(option->palette);
    if (!edge.isValid()) {
        return;
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(edge, 1.0));
    painter->setBrush(Qt::NoBrush);
    const QRectF box = QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (checkBox) {
        painter->drawRoundedRect(box, 2.0, 2.0);
    } else {
        painter->drawEllipse(box);
    }
    painter->restore();
}

void installControlStyle() {
    QStyle* current = QApplication::style();
    QStyle* base = current != nullptr ? QStyleFactory::create(current->name()) : nullptr;
    QApplication::setStyle(new ControlStyle(base)); // the proxy owns its base; the application owns the proxy
}

} // namespace quillobrandt
