#include "Quillobrandt/main/MainLabels.h"

#include <QLabel>
#include <QWidget>

#include "Quillobrandt/app/Style.h"

namespace quillobrandt {

QLabel* centredLabel(QWidget* parent, const QString& text, int pixelSize, QFont::Weight weight, bool secondary) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    if (secondary) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, style::secondaryColour(parent));
        label->setPalette(palette);
    }
    return label;
}

} // namespace quillobrandt
