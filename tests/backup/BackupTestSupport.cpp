#include "tests/backup/BackupTestSupport.h"

#include "tests/support/TestEnvironment.h"

namespace backuptest {

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

std::filesystem::path freshFolder(const std::string& name) {
    const auto folder = qbtest::IsolatedHome::root() / name;
    std::filesystem::create_directories(folder);
    return folder;
}

} // namespace backuptest
