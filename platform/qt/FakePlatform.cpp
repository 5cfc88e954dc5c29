#include "platform/qt/FakePlatform.h"

#include "platform/qt/PlatformServices.h"
#include "platform/qt/PrivacyGate.h"

namespace platform {

FakePlatform::FakePlatform(bool fullDiskAccessGate) {
    setAlertPresenter(alerts);
    setPanelPresenter(panels);
    setDesktopServices(desktop);
    setSecurityScope(securityScope);
    setContactStore(contacts);
    overrideFullDiskAccessGate(fullDiskAccessGate);
}

FakePlatform::~FakePlatform() {
    setAlertPresenter(nullptr);
    setPanelPresenter(nullptr);
    setDesktopServices(nullptr);
    setSecurityScope(nullptr);
    setContactStore(nullptr);
    overrideFullDiskAccessGate(std::nullopt);
}

} // namespace platform
