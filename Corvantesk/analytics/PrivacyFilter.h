#pragma once

#include <string_view>

namespace corvantesk {

// The PHI-safe filter: a property whose key, lower-cased, contains any of "email", "name", "phone",
// "address", "ssn", "dob", "birthdate" or "ip" anywhere is dropped. Values are never inspected, so the
// filter errs towards dropping ("description" and "shipping" contain "ip").
bool isProtectedPropertyKey(std::string_view key);

// Removes every protected key from a map keyed by text.
template <typename Map> void removeProtectedProperties(Map& properties) {
    for (auto it = properties.begin(); it != properties.end();) {
        if (isProtectedPropertyKey(it->first)) {
            it = properties.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace corvantesk
