#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Quillobrandt/backup/BackupError.h"

namespace backuptest {

std::vector<std::uint8_t> fromHex(const std::string& hex);
std::string toHex(const std::vector<std::uint8_t>& bytes);

// Runs `call` and returns the code of the BackupError it throws; fails the test when it throws nothing else.
template <typename Call> quillobrandt::BackupError::Code errorOf(Call&& call) {
    try {
        call();
    } catch (const quillobrandt::BackupError& error) {
        return error.code();
    }
    throw std::runtime_error("expected a BackupError");
}

// A throw-away extraction folder below the test's private home.
std::filesystem::path freshFolder(const std::string& name);

} // namespace backuptest
