#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "Quillobrandt/backup/CommandRunner.h"
#include "Quillobrandt/backup/iPhoneDevice.h"

namespace quillobrandt {

// Lists the iPhones connected by USB through "idevice_id -l" and "ideviceinfo -u <UDID>" (Debian's
// libimobiledevice-utils), looked for in the program's folder, then on PATH. Scans run on a private worker so
// the GUI never waits for a tool; results are published on the GUI thread. When a tool is not installed no
// process is started: the scan publishes an empty list and says what is missing in scanProblem().
// Device and failure lines go to the log only when the list or the failure text changes, so a scan every
// second does not push everything else out of the log.
// Every public member is called on the GUI thread.
class iPhoneDeviceManager : public QObject {
    Q_OBJECT
public:
    // What one scan found, before it is published.
    struct Scan {
        std::vector<iPhoneDevice> devices;
        std::vector<std::string> failureLines; // for the log, in order
        QString problem;                       // for the user; empty when the tools did their work
    };

    explicit iPhoneDeviceManager(QObject* parent = nullptr);
    // Stops the timer and any running scan (killing its tool), waits the few milliseconds that takes and drops
    // the scan's result.
    ~iPhoneDeviceManager() override;

    const std::vector<iPhoneDevice>& connectedDevices() const { return connectedDevices_; }
    bool isScanning() const { return isScanning_; }
    bool isTimerRunning() const { return scanTimer_.isActive(); }
    // Why the last scan could not look for devices (a tool missing, with the package that provides it, or the
    // list tool failing); empty when the tools worked, also when no device is attached.
    const QString& scanProblem() const { return scanProblem_; }

    // One scan at once, then one per `interval` seconds. A tick while a scan still runs is skipped, so slow
    // tools never pile scans up.
    void startScanning(double interval);
    void stopScanning();
    // Starts one scan (unless one is running); its result arrives through connectedDevicesChanged.
    void scanForDevices();

    // For tests: blocks until no scan runs on the worker (its result still needs the event loop).
    bool waitForScan(int timeoutMs = 10000);

    // One blocking scan with the two tools, on any thread; logs nothing. Setting `*stop` ends it early.
    static Scan scan(const std::filesystem::path& listTool, const std::filesystem::path& infoTool,
                     const std::atomic<bool>* stop = nullptr);

signals:
    void connectedDevicesChanged();
    void isScanningChanged(bool value);
    void scanProblemChanged();

private:
    void publish(Scan scan);

    std::vector<iPhoneDevice> connectedDevices_;
    bool isScanning_ = false;
    QString scanProblem_;
    std::string lastFailureText_;
    std::atomic<bool> stopping_{false};
    QTimer scanTimer_;
    QThreadPool scanPool_; // last: destroyed (and waited for) first
};

} // namespace quillobrandt
