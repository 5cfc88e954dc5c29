#include "Corvantesk/core/DeviceInfo.h"

#include <unistd.h>

#include "Corvantesk/core/Storage.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/SystemInfo.h"

namespace corvantesk {
namespace {

std::optional<std::string> nonEmptyBundleValue(const char* key) {
    auto value = platform::bundleInfoValue(key);
    if (!value || value->empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return std::nullopt;
    }
    return std::string(name);
}

template <class Json> Json encode(const DeviceInfo& info) {
    Json json = Json::object();
    if (info.deviceId) {
        json["deviceId"] = *info.deviceId;
    }
    json["platform"] = info.platform;
    json["osVersion"] = info.osVersion;
    if (info.appVersion) {
        json["appVersion"] = *info.appVersion;
    }
    if (info.buildNumber) {
        json["buildNumber"] = *info.buildNumber;
    }
    json["deviceModel"] = info.deviceModel;
    if (info.deviceName) {
        json["deviceName"] = *info.deviceName;
    }
    return json;
}

} // namespace

DeviceInfo DeviceInfo::current(bool includeDeviceId, const std::optional<std::string>& deviceId,
                               const std::optional<std::string>& appVersion, Storage& storage) {
    // What cannot change while the program runs is read from its files once.
    struct FixedFacts {
        std::optional<std::string> appVersion = nonEmptyBundleValue("CFBundleShortVersionString");
        std::optional<std::string> buildNumber = nonEmptyBundleValue("CFBundleVersion");
        std::string osVersion = operatingSystemVersion();
        std::string deviceModel = hardwareModel();
    };
    static const FixedFacts fixed;
    DeviceInfo info;
    if (includeDeviceId) {
        info.deviceId = deviceId ? *deviceId : storage.getOrCreateDeviceId();
    }
    info.appVersion = appVersion ? appVersion : fixed.appVersion;
    info.buildNumber = fixed.buildNumber;
    info.osVersion = fixed.osVersion;
    info.deviceModel = fixed.deviceModel;
    info.deviceName = hostName();
    return info;
}

DeviceInfo DeviceInfo::current(bool includeDeviceId, const std::optional<std::string>& deviceId,
                               const std::optional<std::string>& appVersion) {
    return current(includeDeviceId, deviceId, appVersion, Storage::shared());
}

std::string DeviceInfo::hardwareModel() {
    return platform::deviceModel();
}

std::string DeviceInfo::operatingSystemVersion() {
    auto text = platform::readFile("/etc/os-release", 64 * 1024);
    if (!text) {
        text = platform::readFile("/usr/lib/os-release", 64 * 1024);
    }
    if (text) {
        const std::string name = platform::osReleaseValue(*text, "NAME");
        const std::string version = platform::osReleaseValue(*text, "VERSION_ID");
        if (!name.empty() && !version.empty()) {
            return name + " " + version;
        }
    }
    return platform::osPrettyName();
}

AnyMap DeviceInfo::toDictionary() const {
    AnyMap map{{"platform", platform}, {"osVersion", osVersion}, {"deviceModel", deviceModel}};
    if (deviceId) {
        map.emplace("deviceId", *deviceId);
    }
    if (appVersion) {
        map.emplace("appVersion", *appVersion);
    }
    if (buildNumber) {
        map.emplace("buildNumber", *buildNumber);
    }
    if (deviceName) {
        map.emplace("deviceName", *deviceName);
    }
    return map;
}

void to_json(nlohmann::ordered_json& json, const DeviceInfo& info) {
    json = encode<nlohmann::ordered_json>(info);
}
void to_json(nlohmann::json& json, const DeviceInfo& info) {
    json = encode<nlohmann::json>(info);
}

void from_json(const nlohmann::json& json, DeviceInfo& info) {
    DeviceInfo result;
    auto optionalString = [&](const char* key) -> std::optional<std::string> {
        if (!json.contains(key)) {
            return std::nullopt;
        }
        return json.at(key).get<std::string>();
    };
    result.deviceId = optionalString("deviceId");
    result.platform = json.at("platform").get<std::string>();
    result.osVersion = json.at("osVersion").get<std::string>();
    result.appVersion = optionalString("appVersion");
    result.buildNumber = optionalString("buildNumber");
    result.deviceModel = json.at("deviceModel").get<std::string>();
    result.deviceName = optionalString("deviceName");
    info = std::move(result);
}

} // namespace corvantesk
