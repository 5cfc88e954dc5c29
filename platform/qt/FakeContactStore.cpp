#include "platform/qt/FakeContactStore.h"

#include <memory>

#include "platform/qt/MainQueue.h"

namespace platform {

ContactAuthorizationStatus FakeContactStore::authorizationStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void FakeContactStore::requestAccess(AccessCompletion completion) {
    ++requestCount_;
    Answer answer{false, std::nullopt};
    {
        std::lock_guard lock(mutex_);
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.pop_front();
            status_ = answer.granted ? ContactAuthorizationStatus::authorized : ContactAuthorizationStatus::denied;
        } else {
            answer.granted = status_ == ContactAuthorizationStatus::authorized;
        }
    }
    auto shared = std::make_shared<AccessCompletion>(std::move(completion));
    runOnMainQueue([shared, answer] {
        if (*shared) {
            (*shared)(answer.granted, answer.error);
        }
    });
}

void FakeContactStore::enumerateContacts(const std::function<void(const ContactRecord&)>& visit) const {
    ++enumerationCount_;
    if (isMainThread()) {
        ++mainThreadEnumerationCount_;
    }
    std::vector<ContactRecord> contacts;
    std::optional<ContactStoreError> error;
    {
        std::lock_guard lock(mutex_);
        contacts = contacts_;
        error = error_;
    }
    for (const ContactRecord& contact : contacts) {
        visit(contact);
    }
    if (error) {
        throw *error;
    }
}

void FakeContactStore::setAllowed(bool allowed) {
    setStatus(allowed ? ContactAuthorizationStatus::authorized : ContactAuthorizationStatus::denied);
}

void FakeContactStore::setStatus(ContactAuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void FakeContactStore::setContacts(std::vector<ContactRecord> contacts) {
    std::lock_guard lock(mutex_);
    contacts_ = std::move(contacts);
}

void FakeContactStore::setEnumerationError(std::optional<ContactStoreError> error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}

void FakeContactStore::answerNextRequest(bool granted, std::optional<std::string> error) {
    std::lock_guard lock(mutex_);
    answers_.push_back({granted, std::move(error)});
}

} // namespace platform
