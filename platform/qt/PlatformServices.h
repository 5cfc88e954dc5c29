#pragma once

#include <memory>

namespace platform {

class AlertPresenter;
class PanelPresenter;
class DesktopServices;
class SecurityScope;
class ContactStore;

// The desktop services the program uses, one instance of each for the whole process. The defaults
// are the Qt and Linux implementations; tests install recording fakes (see FakePlatform). Getters
// and setters are thread-safe; a getter's result stays valid while the caller holds it, even if a
// new instance is installed meanwhile. Installing nullptr restores the default.
std::shared_ptr<AlertPresenter> alertPresenter();
void setAlertPresenter(std::shared_ptr<AlertPresenter> presenter);

std::shared_ptr<PanelPresenter> panelPresenter();
void setPanelPresenter(std::shared_ptr<PanelPresenter> presenter);

std::shared_ptr<DesktopServices> desktopServices();
void setDesktopServices(std::shared_ptr<DesktopServices> services);

std::shared_ptr<SecurityScope> securityScope();
void setSecurityScope(std::shared_ptr<SecurityScope> scope);

// The default reads the user's address books with the authorisation kept in UserDefaults::standard().
std::shared_ptr<ContactStore> contactStore();
void setContactStore(std::shared_ptr<ContactStore> store);

} // namespace platform
