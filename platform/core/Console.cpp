#include "platform/core/Console.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex& consoleMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

void consoleLine(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    consoleText(text);
}

void consoleText(std::string_view lines) {
    if (lines.empty()) {
        return;
    }
    std::lock_guard lock(consoleMutex());
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
}

bool consoleIsVerbose() {
    const char* value = std::getenv("QB_VERBOSE");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

} // namespace platform
