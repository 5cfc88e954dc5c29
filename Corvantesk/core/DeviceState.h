#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/AnyCodable.h"

namespace corvantesk {

// A snapshot of the machine and the process: memory, disk, threads, uptime, processors, architecture,
// thermal state. Read from /proc, statvfs and /sys/class/thermal; nothing fails, a figure that cannot be
// read is absent or zero. capture() may run on any thread but is not async-signal-safe.
struct DeviceState {
    std::optional<std::uint64_t> memoryUsedByApp; // bytes resident
    std::uint64_t memoryTotal = 0;                // bytes of physical memory
    double memoryUsagePercent = 0.0;              // machine-wide memory in use
    std::uint64_t diskAvailable = 0;              // bytes available on the documents folder's volume
    std::uint64_t diskTotal = 0;
    double diskUsagePercent = 0.0;
    std::int64_t threadCount = 0;
    double uptimeSeconds = 0.0;
    std::int64_t processorCount = 0;
    std::string architecture;
    std::optional<float> batteryLevel;       // never set here
    std::optional<std::string> batteryState; // never set here
    std::optional<std::string> thermalState; // "nominal", "fair", "serious", "critical" or "unknown"
    std::optional<bool> isLowPowerMode;      // never set here

    static DeviceState capture();

    struct MemoryInfo {
        std::optional<std::uint64_t> usedByApp;
        std::uint64_t total = 0;
        double usagePercent = 0.0;
    };
    struct DiskInfo {
        std::uint64_t available = 0;
        std::uint64_t total = 0;
        double usagePercent = 0.0;
    };
    static MemoryInfo memoryInfo();
    static DiskInfo diskInfo();
    static std::int64_t currentThreadCount();
    static std::string thermalStateName();
    static std::string buildArchitecture(); // "x86_64", "arm64", ...

    // The nine fixed keys, then memoryUsedByApp, batteryLevel, batteryState, thermalState, isLowPowerMode when present.
    AnyMap toDictionary() const;

    bool operator==(const DeviceState&) const = default;
};

// The codable form kept inside offline health events: keys are the field names, absent optionals left out.
void to_json(nlohmann::json& json, const DeviceState& state);
void from_json(const nlohmann::json& json, DeviceState& state); // throws nlohmann::json::exception on missing keys

// Parsers of the kernel's text, kept apart so they can be tested on captured files.
namespace procfs {

struct ProcessStatus {
    std::optional<std::uint64_t> residentBytes; // VmRSS
    std::optional<std::int64_t> threads;        // Threads
};
ProcessStatus parseProcessStatus(std::string_view statusText);

struct MemInfo {
    std::optional<std::uint64_t> totalBytes;     // MemTotal
    std::optional<std::uint64_t> availableBytes; // MemAvailable
};
MemInfo parseMemInfo(std::string_view meminfoText);

// Seconds since boot from /proc/uptime's first field.
std::optional<double> parseUptime(std::string_view uptimeText);

// One thermal zone: its temperature and its trip points, all in millidegrees, with their kinds
// ("passive", "hot", "critical", ...).
struct ThermalZone {
    std::int64_t temperature = 0;
    std::vector<std::pair<std::string, std::int64_t>> trips;
};
// The worst state over the zones: reaching a critical trip gives "critical", a hot trip "serious", a passive
// trip "fair", otherwise "nominal"; no zone at all gives "unknown".
std::string thermalStateFromZones(const std::vector<ThermalZone>& zones);
// Reads /sys/class/thermal (or another root, for tests).
std::vector<ThermalZone> readThermalZones(const std::filesystem::path& root = "/sys/class/thermal");

} // namespace procfs

} // namespace corvantesk
