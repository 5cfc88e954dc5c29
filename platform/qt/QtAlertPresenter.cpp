#include "platform/qt/AlertPresenter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QList>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include <algorithm>

namespace platform {
namespace {

QMessageBox::Icon iconFor(AlertStyle style) {
    switch (style) {
    case AlertStyle::informational:
        return QMessageBox::Information;
    case AlertStyle::warning:
        return QMessageBox::Warning;
    case AlertStyle::critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

} // namespace

int QtAlertPresenter::runModal(const AlertRequest& request) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("Quillobrandt"));
    box.setIcon(iconFor(request.style));
    box.setText(request.messageText);
    box.setInformativeText(request.informativeText);
    // The box takes its width from the short title alone and would wrap the explanation into a narrow column: the
    // explanation gets lines as long as it needs, up to a readable length, within the screen.
    if (auto* explanation = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        const QFontMetrics metrics = explanation->fontMetrics();
        const QScreen* screen = box.screen() != nullptr ? box.screen() : QGuiApplication::primaryScreen();
        const int roomOnScreen = screen != nullptr ? screen->availableGeometry().width() - 160 : 400;
        const int readable = std::min(metrics.averageCharWidth() * 64, roomOnScreen);
        explanation->setMinimumWidth(
            std::max(0, std::min(metrics.horizontalAdvance(request.informativeText), readable)));
    }
    if (request.selectableText) {
        // Both the message and the informative label.
        for (QLabel* label : box.findChildren<QLabel*>()) {
            label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        }
    }

    QList<QPushButton*> buttons;
    for (int i = 0; i < request.buttons.size(); ++i) {
        QMessageBox::ButtonRole role = QMessageBox::ActionRole;
        if (i == request.defaultButton) {
            role = QMessageBox::AcceptRole;
        } else if (request.cancelButton && i == *request.cancelButton) {
            role = QMessageBox::RejectRole;
        }
        buttons.append(box.addButton(request.buttons[i], role));
    }
    if (request.defaultButton >= 0 && request.defaultButton < buttons.size()) {
        box.setDefaultButton(buttons[request.defaultButton]);
    }
    if (request.cancelButton && *request.cancelButton >= 0 && *request.cancelButton < buttons.size()) {
        box.setEscapeButton(buttons[*request.cancelButton]);
    } else if (request.escapeCloses) {
        // No button answers Escape; it closes the box, which then reports no button (-1).
        auto* escape = new QShortcut(QKeySequence::Cancel, &box);
        QObject::connect(escape, &QShortcut::activated, &box, [&box] { box.done(-1); });
    }
    box.exec();
    return static_cast<int>(buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton())));
}

} // namespace platform
