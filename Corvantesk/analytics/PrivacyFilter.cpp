#include "Corvantesk/analytics/PrivacyFilter.h"

#include <algorithm>
#include <array>
#include <string>

namespace corvantesk {

bool isProtectedPropertyKey(std::string_view key) {
    static constexpr std::array<std::string_view, 8> kProtectedWords = {"email", "name",      "phone", "address",
                                                                        "ssn",   "birthdate", "dob",   "ip"};
    std::string lower(key);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return std::any_of(kProtectedWords.begin(), kProtectedWords.end(),
                       [&lower](std::string_view word) { return lower.find(word) != std::string::npos; });
}

} // namespace corvantesk
