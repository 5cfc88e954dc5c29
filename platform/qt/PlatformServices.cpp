#include "platform/qt/PlatformServices.h"

#include <functional>
#include <mutex>

#include "platform/core/UserDefaults.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/DesktopServices.h"
#include "platform/qt/LinuxContactStore.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/SecurityScope.h"

namespace platform {
namespace {

// One installable instance, made lazily from its default factory.
template <typename T> class ServiceSlot {
public:
    explicit ServiceSlot(std::function<std::shared_ptr<T>()> makeDefault) : makeDefault_(std::move(makeDefault)) {}

    std::shared_ptr<T> get() {
        std::lock_guard lock(mutex_);
        if (!instance_) {
            instance_ = makeDefault_();
        }
        return instance_;
    }

    void set(std::shared_ptr<T> instance) {
        std::lock_guard lock(mutex_);
        instance_ = std::move(instance);
    }

private:
    std::mutex mutex_;
    std::function<std::shared_ptr<T>()> makeDefault_;
    std::shared_ptr<T> instance_;
};

// Never destroyed: worker threads may still ask for a service while the process exits.
template <typename T> ServiceSlot<T>& slot(std::function<std::shared_ptr<T>()> makeDefault) {
    static auto* instance = new ServiceSlot<T>(std::move(makeDefault));
    return *instance;
}

ServiceSlot<AlertPresenter>& alertSlot() {
    return slot<AlertPresenter>([] { return std::make_shared<QtAlertPresenter>(); });
}
ServiceSlot<PanelPresenter>& panelSlot() {
    return slot<PanelPresenter>([] { return std::make_shared<QtPanelPresenter>(); });
}
ServiceSlot<DesktopServices>& desktopSlot() {
    return slot<DesktopServices>([] { return std::make_shared<QtDesktopServices>(); });
}
ServiceSlot<SecurityScope>& scopeSlot() {
    return slot<SecurityScope>([] { return std::make_shared<DesktopSecurityScope>(); });
}
ServiceSlot<ContactStore>& contactSlot() {
    return slot<ContactStore>([] { return std::make_shared<LinuxContactStore>(UserDefaults::standard()); });
}

} // namespace

std::shared_ptr<AlertPresenter> alertPresenter() {
    return alertSlot().get();
}
void setAlertPresenter(std::shared_ptr<AlertPresenter> presenter) {
    alertSlot().set(std::move(presenter));
}

std::shared_ptr<PanelPresenter> panelPresenter() {
    return panelSlot().get();
}
void setPanelPresenter(std::shared_ptr<PanelPresenter> presenter) {
    panelSlot().set(std::move(presenter));
}

std::shared_ptr<DesktopServices> desktopServices() {
    return desktopSlot().get();
}
void setDesktopServices(std::shared_ptr<DesktopServices> services) {
    desktopSlot().set(std::move(services));
}

std::shared_ptr<SecurityScope> securityScope() {
    return scopeSlot().get();
}
void setSecurityScope(std::shared_ptr<SecurityScope> scope) {
    scopeSlot().set(std::move(scope));
}

std::shared_ptr<ContactStore> contactStore() {
    return contactSlot().get();
}
void setContactStore(std::shared_ptr<ContactStore> store) {
    contactSlot().set(std::move(store));
}

} // namespace platform
