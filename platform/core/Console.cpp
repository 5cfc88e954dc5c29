#include "platform/core/Console.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {

void consoleLine(std::string_view line) {
    static std::mutex mutex;
    std::string text(line);
    text.push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace platform
