#include "platform/core/FileMode.h"

#include <fstream>
#include <string>

namespace platform {

unsigned userFileMode() {
    // Linux reports the umask in /proc/self/status; umask(2) itself can only be read by changing it.
    unsigned mask = 022;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            try {
                mask = static_cast<unsigned>(std::stoul(line.substr(6), nullptr, 8)) & 0777u;
            } catch (const std::exception&) {
                mask = 022;
            }
            break;
        }
    }
    return 0666u & ~mask;
}

} // namespace platform
