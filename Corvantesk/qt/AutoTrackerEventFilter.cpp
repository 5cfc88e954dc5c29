#include "Corvantesk/qt/AutoTrackerEventFilter.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcutEvent>
#include <QTabBar>

#include <atomic>

#include "Corvantesk/qt/MacOSAutoTracker.h"

namespace corvantesk {
namespace {

// A dialog shown on top of another window and blocking it: the Linux form of a sheet.
bool isSheet(const QWidget* window) {
    return qobject_cast<const QDialog*>(window) != nullptr && window->parentWidget() != nullptr &&
           window->windowModality() != Qt::NonModal;
}

constexpr const char* kListenedBy = "corvanteskChoicesListenedBy";

int nextGeneration() {
    static std::atomic<int> generation{0};
    return ++generation;
}

bool triggersFromMenu(const QAction* action) {
    return action != nullptr && action->isEnabled() && !action->isSeparator() && action->menu<QMenu*>() == nullptr;
}

} // namespace

AutoTrackerEventFilter::AutoTrackerEventFilter(MacOSAutoTracker& tracker)
    : tracker_(tracker), generation_(nextGeneration()) {}

void AutoTrackerEventFilter::listenToChoices(QObject* watched) {
    auto* combo = qobject_cast<QComboBox*>(watched);
    auto* tabBar = qobject_cast<QTabBar*>(watched);
    auto* menu = qobject_cast<QMenu*>(watched);
    if ((combo == nullptr && tabBar == nullptr && menu == nullptr) || watched->property(kListenedBy) == generation_) {
        return;
    }
    watched->setProperty(kListenedBy, generation_);
    // Connected with this filter as context: uninstalling (destroying it) ends them all.
    if (combo != nullptr) {
        connect(combo, &QComboBox::activated, this,
                [this, combo](int index) { tracker_.trackPopUpButton(combo, index); });
    } else if (tabBar != nullptr) {
        connect(tabBar, &QTabBar::tabBarClicked, this, [this, tabBar](int index) { tracker_.trackTab(tabBar, index); });
    } else {
        connect(menu, &QMenu::triggered, this,
                [this, menu](QAction* action) { tracker_.trackMenuTrigger(menu, action); });
    }
}

bool AutoTrackerEventFilter::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::FocusIn:
    case QEvent::MouseButtonPress:
        listenToChoices(watched);
        break;
    default:
        break;
    }
    switch (event->type()) {
    case QEvent::WindowActivate:
        if (widget != nullptr && widget->isWindow()) {
            tracker_.handleWindowActivated(widget);
        }
        break;
    case QEvent::Hide:
        // A window hidden by the program (not minimised) is closed as far as screens go.
        if (widget != nullptr && widget->isWindow() && !event->spontaneous()) {
            tracker_.handleWindowHidden(widget);
            if (isSheet(widget)) {
                tracker_.handleSheetEnded(widget);
            }
        }
        break;
    case QEvent::WindowTitleChange:
        if (widget != nullptr && widget->isWindow()) {
            tracker_.handleWindowUpdated(widget);
        }
        break;
    case QEvent::MouseButtonRelease:
        buttonMouseRelease(watched, event);
        menuMouseRelease(watched, event);
        break;
    case QEvent::KeyPress:
        keyPress(watched, event);
        break;
    case QEvent::KeyRelease:
        keyRelease(watched, event);
        break;
    case QEvent::Shortcut:
        if (auto* action = qobject_cast<QAction*>(watched);
            action != nullptr && action->isEnabled() && !static_cast<QShortcutEvent*>(event)->isAmbiguous()) {
            tracker_.trackSender(action);
        }
        break;
    default:
        break;
    }
    return false;
}

void AutoTrackerEventFilter::buttonMouseRelease(QObject* watched, QEvent* event) {
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (button == nullptr) {
        return;
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    // The same test the button makes before it clicks: pressed, released inside, still enabled.
    if (mouse->button() == Qt::LeftButton && button->isEnabled() && button->isDown() &&
        button->rect().contains(mouse->position().toPoint())) {
        tracker_.trackSender(button);
    }
}

void AutoTrackerEventFilter::menuMouseRelease(QObject* watched, QEvent* event) {
    auto* menu = qobject_cast<QMenu*>(watched);
    if (menu == nullptr) {
        return;
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    QAction* action = menu->actionAt(mouse->position().toPoint());
    if (mouse->button() == Qt::LeftButton && triggersFromMenu(action)) {
        tracker_.trackSender(action);
    }
}

void AutoTrackerEventFilter::keyPress(QObject* watched, QEvent* event) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->isAutoRepeat() || (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)) {
        return;
    }
    if (auto* menu = qobject_cast<QMenu*>(watched)) {
        if (triggersFromMenu(menu->activeAction())) {
            tracker_.trackSender(menu->activeAction());
        }
    } else if (auto* button = qobject_cast<QPushButton*>(watched)) {
        // A focused push button of a dialog clicks itself on Return.
        if (button->isEnabled() && (button->autoDefault() || button->isDefault())) {
            tracker_.trackSender(button);
        }
    } else if (auto* dialog = qobject_cast<QDialog*>(watched)) {
        // Return that nothing inside took: the dialog clicks its first visible default button.
        const bool plain = key->modifiers() == Qt::NoModifier ||
                           (key->modifiers() == Qt::KeypadModifier && key->key() == Qt::Key_Enter);
        if (!plain) {
            return;
        }
        for (auto* candidate : dialog->findChildren<QPushButton*>()) {
            if (candidate->isDefault() && candidate->isVisible()) {
                if (candidate->isEnabled()) {
                    tracker_.trackSender(candidate);
                }
                return;
            }
        }
    }
}

void AutoTrackerEventFilter::keyRelease(QObject* watched, QEvent* event) {
    auto* button = qobject_cast<QAbstractButton*>(watched);
    const auto* key = static_cast<QKeyEvent*>(event);
    // Space clicks a focused button on release; only the key code is read, never any typed text.
    if (button != nullptr && key->key() == Qt::Key_Space && !key->isAutoRepeat() && button->isEnabled() &&
        button->isDown()) {
        tracker_.trackSender(button);
    }
}

} // namespace corvantesk
