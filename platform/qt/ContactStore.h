#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// The platform's Contacts authorisation statuses, with their numeric values.
enum class ContactAuthorizationStatus : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

// One stored contact card, as much of it as the program reads.
struct ContactRecord {
    std::string givenName;
    std::string familyName;
    std::vector<std::string> phoneNumbers; // as written on the card, in the card's order

    bool operator==(const ContactRecord&) const = default;
};

// The error domain of contact stores; codes 1006 and 604 in it mean the contacts were read but the
// change history was not, which readers treat as success.
inline constexpr const char* kContactStoreErrorDomain = "ContactStoreErrorDomain";

class ContactStoreError : public std::runtime_error {
public:
    ContactStoreError(std::string domain, int code, const std::string& description)
        : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}
    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    std::string description() const { return what(); }

private:
    std::string domain_;
    int code_;
};

// The user's address book.
class ContactStore {
public:
    using AccessCompletion = std::function<void(bool granted, const std::optional<std::string>& errorDescription)>;

    virtual ~ContactStore() = default;

    // Any thread.
    virtual ContactAuthorizationStatus authorizationStatus() const = 0;

    // GUI thread. Asks the user when the status is not determined, otherwise answers with the decision
    // already made. The completion runs exactly once, on the GUI thread, after requestAccess has returned.
    virtual void requestAccess(AccessCompletion completion) = 0;

    // GUI thread. Records a changed answer from the program's own settings (where the program, not the
    // system, keeps the answer): authorised when `allowed`, denied otherwise.
    virtual void setAllowed(bool allowed) = 0;

    // Any thread; may take long. Visits every stored card on its own (linked cards are not merged).
    // Throws ContactStoreError when the address book cannot be read; cards visited before stay visited.
    virtual void enumerateContacts(const std::function<void(const ContactRecord&)>& visit) const = 0;
};

} // namespace platform
