#pragma once

#include "platform/qt/ContactStore.h"

namespace platform {

class UserDefaults;

// The Linux address book: the user's answer to our own prompt, kept in user defaults under
// "contacts_authorization" (the status numbers 0-3), and the desktop's vCard files and Evolution
// address books under $XDG_DATA_HOME (read at each enumeration). The prompt goes through the
// installed alert presenter.
class LinuxContactStore final : public ContactStore {
public:
    static constexpr const char* authorizationKey = "contacts_authorization";

    // `defaults` must outlive the store and any request it has not answered yet.
    explicit LinuxContactStore(UserDefaults& defaults);

    ContactAuthorizationStatus authorizationStatus() const override;
    void requestAccess(AccessCompletion completion) override;
    void setAllowed(bool allowed) override;
    void enumerateContacts(const std::function<void(const ContactRecord&)>& visit) const override;

private:
    UserDefaults& defaults_;
};

} // namespace platform
