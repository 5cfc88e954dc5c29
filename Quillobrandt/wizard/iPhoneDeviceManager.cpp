#include "Quillobrandt/wizard/iPhoneDeviceManager.h"

#include <chrono>
#include <cmath>
#include <sstream>

#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/core/SignalStack.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {
namespace {

constexpr auto kToolTimeout = std::chrono::seconds(15);
constexpr const char* kToolsPackage = "libimobiledevice-utils";

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

// The first line of a tool's error output that says something, or its exit status.
QString toolMessage(const CommandResult& result) {
    std::istringstream lines(result.standardError);
    for (std::string line; std::getline(lines, line);) {
        const auto text = QString::fromStdString(line).trimmed();
        if (!text.isEmpty()) {
            return text;
        }
    }
    return QStringLiteral("exit status %1").arg(result.exitCode);
}

// A tool that could not start, or was stopped (it printed without end, or never finished), is not the device tool
// it should be, whatever usbmuxd does.
QString brokenToolProblem(const std::filesystem::path& tool) {
    return QStringLiteral("Check that %1 is the one of the package %2.")
        .arg(QString::fromStdString(tool.string()), QString::fromLatin1(kToolsPackage));
}

QString missingToolProblem(const char* tool) {
    return QStringLiteral("%1 was not found. Install the package %2.")
        .arg(QString::fromLatin1(tool), QString::fromLatin1(kToolsPackage));
}

std::string deviceLine(const iPhoneDevice& device) {
    return "📱 Device: " + device.name + " (" + device.model + ", iOS " + device.iosVersion + ")";
}

} // namespace

iPhoneDeviceManager::iPhoneDeviceManager(QObject* parent) : QObject(parent) {
    scanPool_.setMaxThreadCount(1);
    connect(&scanTimer_, &QTimer::timeout, this, [this] { scanForDevices(); });
}

iPhoneDeviceManager::~iPhoneDeviceManager() {
    scanTimer_.stop();
    stopping_ = true; // a hung tool is killed instead of waited for
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
        const char* missing = listTool ? "ideviceinfo" : "idevice_id";
        const std::string reason = std::string(missing) + " was not found (install " + kToolsPackage + ")";
        publish({{}, {listTool ? reason : "idevice_id failed: " + reason}, missingToolProblem(missing)});
        return;
    }
    isScanning_ = true;
    emit isScanningChanged(true);
    scanPool_.start([this, listTool = *listTool, infoTool = *infoTool] {
        platform::ThreadSignalStack signalStack;
        auto result = std::make_shared<Scan>(scan(listTool, infoTool, &stopping_));
        platform::runOnMainQueue(this, [this, result] { publish(std::move(*result)); });
    });
}

iPhoneDeviceManager::Scan iPhoneDeviceManager::scan(const std::filesystem::path& listTool,
                                                    const std::filesystem::path& infoTool,
                                                    const std::atomic<bool>* stop) {
    Scan scan;
    const CommandResult list = runCommand(listTool, {"-l"}, {}, kToolTimeout, stop);
    if (!list.success) {
        scan.failureLines.push_back("idevice_id failed: " + list.standardError);
        const QString advice = list.exitCode < 0
                                   ? brokenToolProblem(listTool)
                                   : QStringLiteral("It reaches the iPhone through usbmuxd (package "
                                                    "usbmuxd), which starts when an iPhone is plugged in.");
        scan.problem = QStringLiteral("idevice_id could not list devices (%1). %2").arg(toolMessage(list), advice);
        return scan;
    }
    QString infoProblem;
    for (const auto& udid : parseDeviceIDs(list.standardOutput)) {
        const CommandResult info = runCommand(infoTool, {"-u", udid}, {}, kToolTimeout, stop);
        if (!info.success) {
            scan.failureLines.push_back("Failed to get info for device " + udid);
            const QString advice = info.exitCode < 0
                                       ? brokenToolProblem(infoTool)
                                       : QStringLiteral("Unlock it and tap \"Trust\" when it asks whether "
                                                        "to trust this computer.");
            infoProblem = QStringLiteral("ideviceinfo could not read the connected iPhone (%1). %2")
                              .arg(toolMessage(info), advice);
            continue;
        }
        scan.devices.push_back(makeDevice(udid, parseDeviceProperties(info.standardOutput)));
    }
    if (scan.devices.empty()) {
        scan.problem = infoProblem;
    }
    return scan;
}

void iPhoneDeviceManager::publish(Scan scan) {
    std::string failureText;
    for (const auto& line : scan.failureLines) {
        failureText += line + "\n";
    }
    if (failureText != lastFailureText_) {
        for (const auto& line : scan.failureLines) {
            log(line, Logger::Level::warning);
            platform::consoleLine("⚠️ " + line);
        }
        lastFailureText_ = std::move(failureText);
    }

    auto& devices = scan.devices;
    if (devices.empty() && !connectedDevices_.empty()) {
        log("📱 No devices connected (was: " + std::to_string(connectedDevices_.size()) + ")");
    } else if (devices.size() != connectedDevices_.size()) {
        log("📱 Found " + std::to_string(devices.size()) + " device(s)");
    }
    const bool changed = devices != connectedDevices_;
    if (changed) {
        for (const auto& device : devices) {
            log(deviceLine(device));
        }
    }
    connectedDevices_ = std::move(devices);
    if (changed) {
        emit connectedDevicesChanged();
    }
    if (scan.problem != scanProblem_) {
        scanProblem_ = scan.problem;
        emit scanProblemChanged();
    }
    if (isScanning_) {
        isScanning_ = false;
        emit isScanningChanged(false);
    }
}

bool iPhoneDeviceManager::waitForScan(int timeoutMs) {
    return scanPool_.waitForDone(timeoutMs);
}

} // namespace quillobrandt
