#include "Quillobrandt/wizard/iPhoneDeviceManager.h"

#include <chrono>
#include <cmath>
#include <sstream>

#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {
namespace {

constexpr auto kToolTimeout = std::chrono::seconds(15);

void log(const std::string& line, Logger::Level level = Logger::Level::info) {
    Logger::shared().log(line, level);
}

// 1.0 prints "1.0", 0.25 prints "0.25".
std::string intervalText(double seconds) {
    std::ostringstream text;
    text << seconds;
    std::string result = text.str();
    if (result.find_first_of(".e") == std::string::npos && std::isfinite(seconds)) {
        result += ".0";
    }
    return result;
}

} // namespace

iPhoneDeviceManager::iPhoneDeviceManager(QObject* parent) : QObject(parent) {
    scanPool_.setMaxThreadCount(1);
    connect(&scanTimer_, &QTimer::timeout, this, [this] { scanForDevices(); });
}

iPhoneDeviceManager::~iPhoneDeviceManager() {
    scanTimer_.stop();
    scanPool_.clear();
    scanPool_.waitForDone();
}

void iPhoneDeviceManager::startScanning(double interval) {
    log("📱 Starting iPhone device scanning (interval: " + intervalText(interval) + "s)");
    scanForDevices();
    scanTimer_.start(std::max(1, static_cast<int>(std::lround(interval * 1000.0))));
}

void iPhoneDeviceManager::stopScanning() {
    log("🛑 Stopping iPhone device scanning");
    scanTimer_.stop();
}

void iPhoneDeviceManager::scanForDevices() {
    if (isScanning_) {
        return;
    }
    const auto folder = programFolder();
    const auto listTool = findTool("idevice_id", folder);
    const auto infoTool = findTool("ideviceinfo", folder);
    if (!listTool || !infoTool) {
        if (!reportedMissingTools_) {
            reportedMissingTools_ = true;
            const std::string line = listTool ? "ideviceinfo was not found (install libimobiledevice-utils)"
                                              : "idevice_id failed: idevice_id was not found (install "
                                                "libimobiledevice-utils)";
            log(line, Logger::Level::warning);
            platform::consoleLine("⚠️ " + line);
        }
        publish({});
        return;
    }
    isScanning_ = true;
    emit isScanningChanged(true);
    scanPool_.start([this, listTool = *listTool, infoTool = *infoTool] {
        std::vector<iPhoneDevice> devices;
        if (const auto ids = getDeviceIDs(listTool)) {
            for (const auto& udid : *ids) {
                if (auto device = getDeviceInfo(infoTool, udid)) {
                    devices.push_back(std::move(*device));
                }
            }
        }
        auto result = std::make_shared<std::vector<iPhoneDevice>>(std::move(devices));
        platform::runOnMainQueue(this, [this, result] { publish(std::move(*result)); });
    });
}

void iPhoneDeviceManager::publish(std::vector<iPhoneDevice> devices) {
    if (devices.empty() && !connectedDevices_.empty()) {
        log("📱 No devices connected (was: " + std::to_string(connectedDevices_.size()) + ")");
    } else if (devices.size() != connectedDevices_.size()) {
        log("📱 Found " + std::to_string(devices.size()) + " device(s)");
    }
    const bool changed = devices != connectedDevices_;
    connectedDevices_ = std::move(devices);
    if (changed) {
        emit connectedDevicesChanged();
    }
    if (isScanning_) {
        isScanning_ = false;
        emit isScanningChanged(false);
    }
}

bool iPhoneDeviceManager::waitForScan(int timeoutMs) {
    return scanPool_.waitForDone(timeoutMs);
}

std::optional<std::vector<std::string>> iPhoneDeviceManager::getDeviceIDs(const std::filesystem::path& tool) {
    const CommandResult result = runCommand(tool, {"-l"}, {}, kToolTimeout);
    if (!result.success) {
        const std::string line = "idevice_id failed: " + result.standardError;
        log(line, Logger::Level::warning);
        platform::consoleLine("⚠️ " + line);
        return std::nullopt;
    }
    auto ids = parseDeviceIDs(result.standardOutput);
    if (ids.empty()) {
        return std::nullopt;
    }
    return ids;
}

std::optional<iPhoneDevice> iPhoneDeviceManager::getDeviceInfo(const std::filesystem::path& tool,
                                                               const std::string& udid) {
    const CommandResult result = runCommand(tool, {"-u", udid}, {}, kToolTimeout);
    if (!result.success) {
        const std::string line = "Failed to get info for device " + udid;
        log(line, Logger::Level::warning);
        platform::consoleLine("⚠️ " + line);
        return std::nullopt;
    }
    iPhoneDevice device = makeDevice(udid, parseDeviceProperties(result.standardOutput));
    log("📱 Device: " + device.name + " (" + device.model + ", iOS " + device.iosVersion + ")");
    return device;
}

} // namespace quillobrandt
