#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QAction;

namespace quillobrandt {

// The update framework behind "Check for Updates…". Linux has none, so the item is left out of the menu
// there; other builds and the tests supply one.
class UpdaterBackend {
public:
    virtual ~UpdaterBackend() = default;
    // Starts the updater (and whatever automatic checking it is configured for).
    virtual void startUpdater() = 0;
    // Calls `observer` at once with the current value, then on every change, on the GUI thread, for as long
    // as the backend lives.
    virtual void observeCanCheckForUpdates(std::function<void(bool)> observer) = 0;
    // Starts a user-initiated check with the framework's own interface.
    virtual void checkForUpdates() = 0;
};

// The platform's updater, or null where there is none (Linux).
std::shared_ptr<UpdaterBackend> makePlatformUpdater();

// Starts the updater and mirrors whether a check may start.
class CheckForUpdatesViewModel final : public QObject {
    Q_OBJECT
public:
    explicit CheckForUpdatesViewModel(std::shared_ptr<UpdaterBackend> updater, QObject* parent = nullptr);

    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged(bool value);

private:
    void setCanCheckForUpdates(bool value);

    std::shared_ptr<UpdaterBackend> updater_;
    bool canCheckForUpdates_ = false;
};

// The menu item "Check for Updates…", enabled while the model allows a check.
QAction* makeCheckForUpdatesAction(CheckForUpdatesViewModel& model, QObject* parent);

} // namespace quillobrandt
