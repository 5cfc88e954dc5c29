#include "Quillobrandt/backup/iPhoneDevice.h"

#include <string_view>

namespace quillobrandt {
namespace {

std::string_view trimHorizontal(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = text.find('\n', start);
        const auto line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty()) {
            lines.push_back(line);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

} // namespace

std::vector<std::string> parseDeviceIDs(const std::string& output) {
    std::vector<std::string> ids;
    for (const auto line : nonEmptyLines(output)) {
        const auto id = trimHorizontal(line);
        if (!id.empty()) {
            ids.emplace_back(id);
        }
    }
    return ids;
}

std::map<std::string, std::string> parseDeviceProperties(const std::string& output) {
    std::map<std::string, std::string> properties;
    for (auto line : nonEmptyLines(output)) {
        // Leading colons would give an empty first piece, which does not count as a key.
        const auto keyStart = line.find_first_not_of(':');
        if (keyStart == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(keyStart);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon + 1 >= line.size()) {
            continue;
        }
        const auto key = trimHorizontal(line.substr(0, colon));
        const auto value = trimHorizontal(line.substr(colon + 1));
        properties[std::string(key)] = std::string(value);
    }
    return properties;
}

iPhoneDevice makeDevice(const std::string& udid, const std::map<std::string, std::string>& properties) {
    iPhoneDevice device;
    device.udid = udid;
    const auto take = [&properties](const char* key, std::string& field) {
        if (const auto found = properties.find(key); found != properties.end()) {
            field = found->second;
        }
    };
    take("DeviceName", device.name);
    take("ProductType", device.model);
    take("ProductVersion", device.iosVersion);
    return device;
}

} // namespace quillobrandt
