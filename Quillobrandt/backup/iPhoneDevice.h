#pragma once

#include <map>
#include <string>
#include <vector>

namespace quillobrandt {

// One iPhone connected by USB, as the device tools describe it. Identity (also for lists) is `udid`.
struct iPhoneDevice {
    std::string udid;                   // as printed by "idevice_id -l"
    std::string name = "iPhone";        // "DeviceName"
    std::string model = "Unknown";      // "ProductType"
    std::string iosVersion = "Unknown"; // "ProductVersion"

    bool operator==(const iPhoneDevice&) const = default;
};

// The UDIDs of "idevice_id -l" output: one per line, trimmed of spaces and tabs, empty lines dropped.
std::vector<std::string> parseDeviceIDs(const std::string& output);

// The "key: value" lines of "ideviceinfo" output. A line splits at its first colon after any leading colons
// (so values may contain colons); keys and values are trimmed of spaces and tabs; lines without both a key
// and a value are ignored; a later key replaces an earlier one.
std::map<std::string, std::string> parseDeviceProperties(const std::string& output);

// The device with its properties, each missing one taking its default.
iPhoneDevice makeDevice(const std::string& udid, const std::map<std::string, std::string>& properties);

} // namespace quillobrandt
