#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/backup/CommandRunner.h"
#include "Quillobrandt/backup/iPhoneDevice.h"

namespace quillobrandt {

// Lists the iPhones connected by USB through "idevice_id -l" and "ideviceinfo -u <UDID>" (Debian's
// libimobiledevice-utils), looked for in the program's folder, then on PATH. Scans run on a private worker so
// the GUI never waits for a tool; results are published on the GUI thread. When a tool is not installed no
// process is started: the scan publishes an empty list and the absence is logged once.
// Every public member is called on the GUI thread.
class iPhoneDeviceManager : public QObject {
    Q_OBJECT
public:
    explicit iPhoneDeviceManager(QObject* parent = nullptr);
    // Stops the timer and waits for a running scan, whose result is then dropped.
    ~iPhoneDeviceManager() override;

    const std::vector<iPhoneDevice>& connectedDevices() const { return connectedDevices_; }
    bool isScanning() const { return isScanning_; }
    bool isTimerRunning() const { return scanTimer_.isActive(); }

    // One scan at once, then one per `interval` seconds. A tick while a scan still runs is skipped, so slow
    // tools never pile scans up.
    void startScanning(double interval);
    void stopScanning();
    // Starts one scan (unless one is running); its result arrives through connectedDevicesChanged.
    void scanForDevices();

    // For tests: blocks until no scan runs on the worker (its result still needs the event loop).
    bool waitForScan(int timeoutMs = 10000);

    // The blocking steps of a scan, usable on any thread. nullopt means failure or no device.
    static std::optional<std::vector<std::string>> getDeviceIDs(const std::filesystem::path& tool);
    static std::optional<iPhoneDevice> getDeviceInfo(const std::filesystem::path& tool, const std::string& udid);

signals:
    void connectedDevicesChanged();
    void isScanningChanged(bool value);

private:
    void publish(std::vector<iPhoneDevice> devices);

    std::vector<iPhoneDevice> connectedDevices_;
    bool isScanning_ = false;
    bool reportedMissingTools_ = false;
    QTimer scanTimer_;
    QThreadPool scanPool_; // last: destroyed (and waited for) first
};

} // namespace quillobrandt
