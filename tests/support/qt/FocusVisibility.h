#pragma once

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QTest>
#include <QWidget>

#include <algorithm>

#include "Quillobrandt/app/TextContrast.h"

namespace qbtest {

// How strongly `after` shows what changed from `before` (two pictures of the same place): the greatest contrast,
// against `backdrop`, of a pixel that changed. 1 when nothing changed.
inline double strongestChange(const QImage& before, const QImage& after, const QColor& backdrop) {
    double strongest = 1;
    if (before.size() != after.size()) {
        return strongest;
    }
    for (int y = 0; y < after.height(); ++y) {
        for (int x = 0; x < after.width(); ++x) {
            if (after.pixel(x, y) != before.pixel(x, y)) {
                const QColor seen = QColor::fromRgb(after.pixel(x, y) | 0xFF000000u);
                strongest = std::max(strongest, quillobrandt::contrastOver(seen, backdrop, backdrop));
            }
        }
    }
    return strongest;
}

// How strongly the focus shows on `control` when the keyboard moves it there from its window: the strongest change
// of the control's picture against the window colour. 1: the user cannot see where the focus is. Focus rings need
// 3:1. The control's window must be shown and active.
inline double focusVisibility(QWidget& control) {
    control.window()->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    const QImage plain = control.grab().toImage();
    control.setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    if (!control.hasFocus()) {
        return 0;
    }
    const QImage focused = control.grab().toImage();
    return strongestChange(plain, focused, control.palette().color(QPalette::Window));
}

// Presses Tab where the keyboard focus is until `target` has it, as a keyboard user reaches a control; false when
// `presses` are not enough.
inline bool tabTo(QWidget& target, int presses = 40) {
    for (int i = 0; i < presses && !target.hasFocus(); ++i) {
        QWidget* focused = QApplication::focusWidget();
        QTest::keyClick(focused != nullptr ? focused : target.window(), Qt::Key_Tab);
    }
    return target.hasFocus();
}

} // namespace qbtest
