#pragma once

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QColor>
#include <QImage>
#include <QStringList>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <string>
#include <vector>

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
// of the control's picture against the window colour (a list's: against its background). 1: the user cannot see where
// the focus is. Focus rings need 3:1. The control's window must be shown and active.
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
    // An item view draws its rows, and the ring of its current one, on the list's own background.
    const bool list = qobject_cast<const QAbstractItemView*>(&control) != nullptr;
    return strongestChange(plain, focused, control.palette().color(list ? QPalette::Base : QPalette::Window));
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

// Walks `window` with Tab from where its focus is, once round, and names every stop at which the user cannot see
// where the keyboard is (focusVisibility below 3:1), and a control that keeps the focus through several presses
// (a trap: Tab goes nowhere else though other controls could take it), one to a line. Empty when every stop shows.
// The window must be shown and active.
inline std::string unseenTabStops(QWidget& window, int presses = 60) {
    std::vector<QWidget*> stops;
    QStringList unseen;
    int stuck = 0;
    for (int i = 0; i < presses; ++i) {
        QWidget* before = QApplication::focusWidget();
        QTest::keyClick(before != nullptr ? before : &window, Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (now == nullptr || now->window() != &window) {
            unseen << QStringLiteral("focus left the window");
            break;
        }
        if (now == before) {
            if (++stuck == 4) { // a date edit walks its sections first; more presses than that is a trap
                const auto others = window.findChildren<QWidget*>();
                const bool alone = std::none_of(others.begin(), others.end(), [now](QWidget* other) {
                    return other != now && other->isVisible() && other->isEnabled() &&
                           (other->focusPolicy() & Qt::TabFocus) != 0;
                });
                if (!alone) {
                    unseen << QStringLiteral("trap: ") + now->metaObject()->className() + QLatin1Char(' ') +
                                  now->objectName();
                }
                break;
            }
            continue;
        }
        stuck = 0;
        if (!stops.empty() && now == stops.front()) {
            break;
        }
        if (std::find(stops.begin(), stops.end(), now) == stops.end()) {
            stops.push_back(now);
        }
    }
    for (QWidget* stop : stops) {
        if (focusVisibility(*stop) < 3.0) {
            const auto* button = qobject_cast<const QAbstractButton*>(stop);
            const QString said = button != nullptr ? button->text() : stop->accessibleName();
            unseen << QString::fromLatin1(stop->metaObject()->className()) + QLatin1Char(' ') + stop->objectName() +
                          (said.isEmpty() ? QString() : QStringLiteral(" \"") + said + QLatin1Char('"'));
        }
    }
    return unseen.join(QLatin1Char('\n')).toStdString();
}

} // namespace qbtest
