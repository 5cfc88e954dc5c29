#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/AnyCodable.h"

namespace corvantesk {

class Storage;

// The machine and the application, as sent once per batch or submission.
struct DeviceInfo {
    std::optional<std::string> deviceId; // only when the caller asks for it
    std::string platform = "linux";
    std::string osVersion; // "Debian GNU/Linux 12": the distribution's name and version
    std::optional<std::string> appVersion;
    std::optional<std::string> buildNumber;
    std::string deviceModel;               // the DMI product name, else the machine type
    std::optional<std::string> deviceName; // the host name

    // The facts: what cannot change while the program runs (distribution, model, the application's version and
    // build) read once per process, the host name now. With includeDeviceId, `deviceId` when given, else storage's
    // persistent id (made on first use). `appVersion` replaces the application's own version when given. Any
    // thread; never throws.
    static DeviceInfo current(bool includeDeviceId, const std::optional<std::string>& deviceId,
                              const std::optional<std::string>& appVersion, Storage& storage);
    static DeviceInfo current(bool includeDeviceId, const std::optional<std::string>& deviceId,
                              const std::optional<std::string>& appVersion);

    static std::string hardwareModel();
    // os-release NAME + " " + VERSION_ID, else PRETTY_NAME.
    static std::string operatingSystemVersion();

    // "platform", "osVersion", "deviceModel", then the optional ones when present; every value a string.
    AnyMap toDictionary() const;

    bool operator==(const DeviceInfo&) const = default;
};

// Keys are the field names, in declaration order; absent optionals left out.
void to_json(nlohmann::ordered_json& json, const DeviceInfo& info);
void to_json(nlohmann::json& json, const DeviceInfo& info);
void from_json(const nlohmann::json& json, DeviceInfo& info); // throws nlohmann::json::exception

} // namespace corvantesk
