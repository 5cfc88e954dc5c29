#include "platform/core/SystemInfo.h"

#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {
namespace {

std::string readSmallFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str().substr(0, 64 * 1024);
}

std::string osReleaseText() {
    std::string text = readSmallFile("/etc/os-release");
    return text.empty() ? readSmallFile("/usr/lib/os-release") : text;
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) {
        s.pop_back();
    }
    std::size_t start = s.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : s.substr(start);
}

} // namespace

std::string osReleaseValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + "=", 0) != 0) {
            continue;
        }
        std::string value = trim(line.substr(key.size() + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

std::string osPrettyName() {
    std::string name = osReleaseValue(osReleaseText(), "PRETTY_NAME");
    return name.empty() ? "Linux" : name;
}

std::string osVersion() {
    std::string version = osReleaseValue(osReleaseText(), "VERSION_ID");
    if (!version.empty()) {
        return version;
    }
    utsname info{};
    return ::uname(&info) == 0 ? std::string(info.release) : std::string("unknown");
}

std::string deviceModel() {
    std::string model = trim(readSmallFile("/sys/devices/virtual/dmi/id/product_name"));
    if (!model.empty()) {
        return model;
    }
    utsname info{};
    return ::uname(&info) == 0 ? std::string(info.machine) : std::string("unknown");
}

std::string userFullName() {
    const passwd* pw = ::getpwuid(::getuid());
    if (pw == nullptr) {
        return {};
    }
    std::string gecos = pw->pw_gecos != nullptr ? pw->pw_gecos : "";
    gecos = gecos.substr(0, gecos.find(','));
    if (!gecos.empty()) {
        return gecos;
    }
    return pw->pw_name != nullptr ? pw->pw_name : "";
}

} // namespace platform
