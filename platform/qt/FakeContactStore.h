#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/qt/ContactStore.h"

namespace platform {

// Test double: a status the test sets, contacts the test lists, an optional error thrown after the
// listed contacts, and requests answered on the GUI thread from scripted answers (the default is
// the current status: granted only when authorised). Status and contacts are thread-safe.
class FakeContactStore final : public ContactStore {
public:
    ContactAuthorizationStatus authorizationStatus() const override;
    void requestAccess(AccessCompletion completion) override;
    void setAllowed(bool allowed) override;
    void enumerateContacts(const std::function<void(const ContactRecord&)>& visit) const override;

    void setStatus(ContactAuthorizationStatus status);
    void setContacts(std::vector<ContactRecord> contacts);
    // Thrown once the contacts have been visited, on every enumeration until cleared.
    void setEnumerationError(std::optional<ContactStoreError> error);
    // The next request answers `granted` (setting the status to authorised or denied) with an optional error.
    void answerNextRequest(bool granted, std::optional<std::string> error = std::nullopt);

    int requestCount() const { return requestCount_.load(); }
    int enumerationCount() const { return enumerationCount_.load(); }
    // Enumerations that ran on the GUI thread, where a large address book would freeze the window.
    int mainThreadEnumerationCount() const { return mainThreadEnumerationCount_.load(); }

private:
    struct Answer {
        bool granted;
        std::optional<std::string> error;
    };

    mutable std::mutex mutex_;
    ContactAuthorizationStatus status_ = ContactAuthorizationStatus::notDetermined;
    std::vector<ContactRecord> contacts_;
    std::optional<ContactStoreError> error_;
    std::deque<Answer> answers_;
    std::atomic<int> requestCount_{0};
    mutable std::atomic<int> enumerationCount_{0};
    mutable std::atomic<int> mainThreadEnumerationCount_{0};
};

} // namespace platform
