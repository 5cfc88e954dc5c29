#include "Corvantesk/core/DeviceState.h"

#include <algorithm>
#include <charconv>
#include <thread>

#include "Corvantesk/core/JsonOptional.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Paths.h"
#include "platform/core/VolumeSpace.h"

namespace fs = std::filesystem;

namespace corvantesk {
namespace procfs {
namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

template <class Int> std::optional<Int> parseInteger(std::string_view text) {
    text = trim(text);
    Int value{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr == text.data()) {
        return std::nullopt;
    }
    return value;
}

// "Key:   1234 kB" lines; calls `visit(key, value-text)` for each.
template <class Visit> void forEachKeyLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            visit(line.substr(0, colon), trim(line.substr(colon + 1)));
        }
    }
}

// "1234 kB" (the kernel's kB are KiB) or a bare number.
std::optional<std::uint64_t> parseKilobytes(std::string_view value) {
    const bool kilo = value.ends_with("kB");
    if (kilo) {
        value.remove_suffix(2);
    }
    auto number = parseInteger<std::uint64_t>(value);
    if (number && kilo) {
        if (*number > UINT64_MAX / 1024) {
            return std::nullopt;
        }
        *number *= 1024;
    }
    return number;
}

} // namespace

ProcessStatus parseProcessStatus(std::string_view statusText) {
    ProcessStatus status;
    forEachKeyLine(statusText, [&](std::string_view key, std::string_view value) {
        if (key == "VmRSS") {
            status.residentBytes = parseKilobytes(value);
        } else if (key == "Threads") {
            status.threads = parseInteger<std::int64_t>(value);
        }
    });
    return status;
}

MemInfo parseMemInfo(std::string_view meminfoText) {
    MemInfo info;
    forEachKeyLine(meminfoText, [&](std::string_view key, std::string_view value) {
        if (key == "MemTotal") {
            info.totalBytes = parseKilobytes(value);
        } else if (key == "MemAvailable") {
            info.availableBytes = parseKilobytes(value);
        }
    });
    return info;
}

std::optional<double> parseUptime(std::string_view uptimeText) {
    uptimeText = trim(uptimeText);
    const auto space = uptimeText.find(' ');
    const std::string_view first = uptimeText.substr(0, space);
    double value = 0;
    const auto result = std::from_chars(first.data(), first.data() + first.size(), value);
    if (result.ec != std::errc() || result.ptr != first.data() + first.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::string thermalStateFromZones(const std::vector<ThermalZone>& zones) {
    if (zones.empty()) {
        return "unknown";
    }
    int worst = 0;
    for (const auto& zone : zones) {
        for (const auto& [kind, limit] : zone.trips) {
            if (limit <= 0 || zone.temperature < limit) {
                continue;
            }
            if (kind == "critical") {
                worst = std::max(worst, 3);
            } else if (kind == "hot") {
                worst = std::max(worst, 2);
            } else if (kind == "passive") {
                worst = std::max(worst, 1);
            }
        }
    }
    static const char* const names[] = {"nominal", "fair", "serious", "critical"};
    return names[worst];
}

std::vector<ThermalZone> readThermalZones(const fs::path& root) {
    std::vector<ThermalZone> zones;
    std::error_code ec;
    for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with("thermal_zone")) {
            continue;
        }
        const auto temp = platform::readFile(it->path() / "temp", 4096);
        const auto temperature = temp ? parseInteger<std::int64_t>(*temp) : std::nullopt;
        if (!temperature) {
            continue;
        }
        ThermalZone zone;
        zone.temperature = *temperature;
        for (int i = 0; i < 32; ++i) {
            const std::string prefix = "trip_point_" + std::to_string(i) + "_";
            const auto type = platform::readFile(it->path() / (prefix + "type"), 4096);
            const auto limitText = platform::readFile(it->path() / (prefix + "temp"), 4096);
            if (!type || !limitText) {
                break;
            }
            if (const auto limit = parseInteger<std::int64_t>(*limitText)) {
                zone.trips.emplace_back(std::string(trim(*type)), *limit);
            }
        }
        zones.push_back(std::move(zone));
    }
    return zones;
}

} // namespace procfs

DeviceState DeviceState::capture() {
    DeviceState state;
    const MemoryInfo memory = memoryInfo();
    state.memoryUsedByApp = memory.usedByApp;
    state.memoryTotal = memory.total;
    state.memoryUsagePercent = memory.usagePercent;
    const DiskInfo disk = diskInfo();
    state.diskAvailable = disk.available;
    state.diskTotal = disk.total;
    state.diskUsagePercent = disk.usagePercent;
    state.threadCount = currentThreadCount();
    const auto uptime = platform::readFile("/proc/uptime", 4096);
    state.uptimeSeconds = uptime ? procfs::parseUptime(*uptime).value_or(0.0) : 0.0;
    state.processorCount = static_cast<std::int64_t>(std::thread::hardware_concurrency());
    state.architecture = buildArchitecture();
    state.thermalState = thermalStateName();
    return state;
}

DeviceState::MemoryInfo DeviceState::memoryInfo() {
    MemoryInfo info;
    if (const auto status = platform::readFile("/proc/self/status", 1 << 20)) {
        info.usedByApp = procfs::parseProcessStatus(*status).residentBytes;
    }
    if (const auto meminfo = platform::readFile("/proc/meminfo", 1 << 20)) {
        const auto parsed = procfs::parseMemInfo(*meminfo);
        info.total = parsed.totalBytes.value_or(0);
        if (parsed.totalBytes && parsed.availableBytes && *parsed.totalBytes > 0 &&
            *parsed.availableBytes <= *parsed.totalBytes) {
            info.usagePercent = static_cast<double>(*parsed.totalBytes - *parsed.availableBytes) /
                                static_cast<double>(*parsed.totalBytes) * 100.0;
        }
    }
    return info;
}

DeviceState::DiskInfo DeviceState::diskInfo() {
    // The documents folder's volume; the home folder when there is no Documents folder.
    fs::path folder = platform::homeDir() / "Documents";
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        folder = platform::homeDir();
    }
    const auto space = platform::volumeSpace(folder);
    if (!space) {
        return {};
    }
    DiskInfo info;
    info.total = space->total;
    info.available = space->available;
    info.usagePercent =
        info.total == 0 ? 0.0
                        : static_cast<double>(info.total - info.available) / static_cast<double>(info.total) * 100.0;
    return info;
}

std::int64_t DeviceState::currentThreadCount() {
    const auto status = platform::readFile("/proc/self/status", 1 << 20);
    return status ? procfs::parseProcessStatus(*status).threads.value_or(0) : 0;
}

std::string DeviceState::thermalStateName() {
    return procfs::thermalStateFromZones(procfs::readThermalZones());
}

std::string DeviceState::buildArchitecture() {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "arm64";
#elif defined(__i386__)
    return "i386";
#elif defined(__arm__)
    return "arm";
#else
    return "unknown";
#endif
}

AnyMap DeviceState::toDictionary() const {
    AnyMap map{
        {"memoryTotal", memoryTotal},     {"memoryUsagePercent", memoryUsagePercent}, {"diskAvailable", diskAvailable},
        {"diskTotal", diskTotal},         {"diskUsagePercent", diskUsagePercent},     {"threadCount", threadCount},
        {"uptimeSeconds", uptimeSeconds}, {"processorCount", processorCount},         {"architecture", architecture},
    };
    if (memoryUsedByApp) {
        map.emplace("memoryUsedByApp", *memoryUsedByApp);
    }
    if (batteryLevel) {
        map.emplace("batteryLevel", *batteryLevel);
    }
    if (batteryState) {
        map.emplace("batteryState", *batteryState);
    }
    if (thermalState) {
        map.emplace("thermalState", *thermalState);
    }
    if (isLowPowerMode) {
        map.emplace("isLowPowerMode", *isLowPowerMode);
    }
    return map;
}

void to_json(nlohmann::json& json, const DeviceState& state) {
    json = nlohmann::json::object();
    if (state.memoryUsedByApp) {
        json["memoryUsedByApp"] = *state.memoryUsedByApp;
    }
    json["memoryTotal"] = state.memoryTotal;
    json["memoryUsagePercent"] = state.memoryUsagePercent;
    json["diskAvailable"] = state.diskAvailable;
    json["diskTotal"] = state.diskTotal;
    json["diskUsagePercent"] = state.diskUsagePercent;
    json["threadCount"] = state.threadCount;
    json["uptimeSeconds"] = state.uptimeSeconds;
    json["processorCount"] = state.processorCount;
    json["architecture"] = state.architecture;
    if (state.batteryLevel) {
        json["batteryLevel"] = *state.batteryLevel;
    }
    if (state.batteryState) {
        json["batteryState"] = *state.batteryState;
    }
    if (state.thermalState) {
        json["thermalState"] = *state.thermalState;
    }
    if (state.isLowPowerMode) {
        json["isLowPowerMode"] = *state.isLowPowerMode;
    }
}

void from_json(const nlohmann::json& json, DeviceState& state) {
    DeviceState result;
    if (json.contains("memoryUsedByApp")) {
        result.memoryUsedByApp = numberAs<std::uint64_t>(json.at("memoryUsedByApp"));
    }
    result.memoryTotal = numberAs<std::uint64_t>(json.at("memoryTotal"));
    result.memoryUsagePercent = numberAs<double>(json.at("memoryUsagePercent"));
    result.diskAvailable = numberAs<std::uint64_t>(json.at("diskAvailable"));
    result.diskTotal = numberAs<std::uint64_t>(json.at("diskTotal"));
    result.diskUsagePercent = numberAs<double>(json.at("diskUsagePercent"));
    result.threadCount = numberAs<std::int64_t>(json.at("threadCount"));
    result.uptimeSeconds = numberAs<double>(json.at("uptimeSeconds"));
    result.processorCount = numberAs<std::int64_t>(json.at("processorCount"));
    result.architecture = json.at("architecture").get<std::string>();
    if (json.contains("batteryLevel")) {
        result.batteryLevel = numberAs<float>(json.at("batteryLevel"));
    }
    if (json.contains("batteryState")) {
        result.batteryState = json.at("batteryState").get<std::string>();
    }
    if (json.contains("thermalState")) {
        result.thermalState = json.at("thermalState").get<std::string>();
    }
    if (json.contains("isLowPowerMode")) {
        result.isLowPowerMode = json.at("isLowPowerMode").get<bool>();
    }
    state = std::move(result);
}

} // namespace corvantesk
