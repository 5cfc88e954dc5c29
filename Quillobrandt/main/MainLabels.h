#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;
class QWidget;

namespace quillobrandt {

// A centred label at `pixelSize` and `weight`, optionally in the secondary colour of `parent`.
QLabel* centredLabel(QWidget* parent, const QString& text, int pixelSize, QFont::Weight weight = QFont::Normal,
                     bool secondary = false);

} // namespace quillobrandt
