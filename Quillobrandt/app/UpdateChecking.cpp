#include "Quillobrandt/app/UpdateChecking.h"

#include <QAction>
#include <QPointer>

namespace quillobrandt {

std::shared_ptr<UpdaterBackend> makePlatformUpdater() { return nullptr; }

CheckForUpdatesViewModel::CheckForUpdatesViewModel(std::shared_ptr<UpdaterBackend> updater, QObject* parent)
    : QObject(parent), updater_(std::move(updater)) {
    if (!updater_) {
        return;
    }
    updater_->startUpdater();
    QPointer<CheckForUpdatesViewModel> self(this);
    updater_->observeCanCheckForUpdates([self](bool value) {
        if (self) {
            self->setCanCheckForUpdates(value);
        }
    });
}

void CheckForUpdatesViewModel::checkForUpdates() {
    if (updater_) {
        updater_->checkForUpdates();
    }
}

void CheckForUpdatesViewModel::setCanCheckForUpdates(bool value) {
    if (canCheckForUpdates_ != value) {
        canCheckForUpdates_ = value;
        emit canCheckForUpdatesChanged(value);
    }
}

QAction* makeCheckForUpdatesAction(CheckForUpdatesViewModel& model, QObject* parent) {
    auto* action = new QAction(QStringLiteral("Check for Updates…"), parent);
    action->setEnabled(model.canCheckForUpdates());
    QObject::connect(&model, &CheckForUpdatesViewModel::canCheckForUpdatesChanged, action, &QAction::setEnabled);
    QObject::connect(action, &QAction::triggered, &model, &CheckForUpdatesViewModel::checkForUpdates);
    return action;
}

} // namespace quillobrandt
