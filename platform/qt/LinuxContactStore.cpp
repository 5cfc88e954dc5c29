#include "platform/qt/LinuxContactStore.h"

#include <memory>

#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/DesktopAddressBooks.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PlatformServices.h"

namespace platform {
namespace {

constexpr int kDontAllowButton = 0;
constexpr int kAllowButton = 1;

AlertRequest contactsPrompt() {
    AlertRequest request;
    request.messageText = QStringLiteral("Allow Quillobrandt to read your contacts?");
    request.informativeText =
        QStringLiteral("Contact names are shown in place of phone numbers. Your contacts never leave this computer.");
    request.style = AlertStyle::informational;
    request.buttons = {QStringLiteral("Don't Allow"), QStringLiteral("Allow")};
    request.defaultButton = kAllowButton;
    // Escape closes the prompt without an answer: "Don't Allow" is kept for good, so it must be chosen.
    request.cancelButton = std::nullopt;
    request.escapeCloses = true;
    return request;
}

ContactAuthorizationStatus storedStatus(const UserDefaults& defaults) {
    const auto stored = defaults.integer(LinuxContactStore::authorizationKey);
    if (!stored || *stored < 0 || *stored > 3) {
        return ContactAuthorizationStatus::notDetermined;
    }
    return static_cast<ContactAuthorizationStatus>(*stored);
}

} // namespace

LinuxContactStore::LinuxContactStore(UserDefaults& defaults) : defaults_(defaults) {}

ContactAuthorizationStatus LinuxContactStore::authorizationStatus() const {
    return storedStatus(defaults_);
}

void LinuxContactStore::requestAccess(AccessCompletion completion) {
    auto shared = std::make_shared<AccessCompletion>(std::move(completion));
    // Asked from the event loop, so the caller has shown its "requesting" state before the prompt appears.
    runOnMainQueue([&defaults = defaults_, shared] {
        ContactAuthorizationStatus status = storedStatus(defaults);
        if (status == ContactAuthorizationStatus::notDetermined) {
            const int answer = alertPresenter()->runModal(contactsPrompt());
            if (answer == kAllowButton || answer == kDontAllowButton) {
                status = answer == kAllowButton ? ContactAuthorizationStatus::authorized
                                                : ContactAuthorizationStatus::denied;
                defaults.setInteger(LinuxContactStore::authorizationKey, static_cast<int>(status));
            }
        }
        if (*shared) {
            (*shared)(status == ContactAuthorizationStatus::authorized, std::nullopt);
        }
    });
}

void LinuxContactStore::setAllowed(bool allowed) {
    const auto status = allowed ? ContactAuthorizationStatus::authorized : ContactAuthorizationStatus::denied;
    defaults_.setInteger(authorizationKey, static_cast<int>(status));
}

void LinuxContactStore::enumerateContacts(const std::function<void(const ContactRecord&)>& visit) const {
    readDesktopAddressBooks(appSupportDir(), visit);
}

} // namespace platform
