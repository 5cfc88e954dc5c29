// Device detection through stand-in tools, on the real event loop.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/wizard/iPhoneDeviceManager.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/wizard/WizardTestSupport.h"

namespace quillobrandt {
namespace {

namespace fs = std::filesystem;
using wizardtest::FakeTools;

// Runs one scan to its published end.
void scanOnce(iPhoneDeviceManager& manager) {
    manager.scanForDevices();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !manager.isScanning(); }));
}

TEST(DeviceManagerTest, ListsDevicesInToolOrderAndLeavesOutOnesWithoutInfo) {
    FakeTools tools;
    tools.install("  UDID-B\\n\\nbroken\\nUDID-A\\t\\n");
    iPhoneDeviceManager manager;
    scanOnce(manager);
    ASSERT_EQ(manager.connectedDevices().size(), 2u);
    EXPECT_EQ(manager.connectedDevices()[0], (iPhoneDevice{"UDID-B", "Phone of UDID-B", "iPhone15,2", "17.1"}));
    EXPECT_EQ(manager.connectedDevices()[1].udid, "UDID-A");

    // Unplugging both empties the list.
    tools.install("");
    scanOnce(manager);
    EXPECT_TRUE(manager.connectedDevices().empty());
}

TEST(DeviceManagerTest, StartingPublishesAFirstResultAtOnceAndStopKeepsIt) {
    FakeTools tools;
    tools.install("ONE\\n");
    iPhoneDeviceManager manager;
    manager.startScanning(60.0); // no tick can come within the test: the first result is the immediate scan
    EXPECT_TRUE(manager.isTimerRunning());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !manager.connectedDevices().empty(); }));
    manager.stopScanning();
    EXPECT_FALSE(manager.isTimerRunning());
    EXPECT_EQ(manager.connectedDevices().size(), 1u);
}

TEST(DeviceManagerTest, MissingOrFailingToolsGiveAnEmptyListAndSayWhy) {
    FakeTools tools; // nothing installed: no process may be started
    iPhoneDeviceManager manager;
    int problemSignals = 0;
    QObject::connect(&manager, &iPhoneDeviceManager::scanProblemChanged, [&problemSignals] { ++problemSignals; });
    manager.scanForDevices();
    EXPECT_FALSE(manager.isScanning());
    EXPECT_TRUE(manager.connectedDevices().empty());
    EXPECT_EQ(manager.scanProblem(), "idevice_id was not found. Install the package libimobiledevice-utils.");
    EXPECT_EQ(problemSignals, 1);

    wizardtest::writeTool(tools.folder(), "idevice_id", "echo ONE");
    manager.scanForDevices();
    EXPECT_EQ(manager.scanProblem(), "ideviceinfo was not found. Install the package libimobiledevice-utils.");

    // The list tool fails the way it does while usbmuxd is not running.
    wizardtest::writeTool(tools.folder(), "idevice_id", "echo 'ERROR: Unable to retrieve device list!' >&2; exit 255");
    wizardtest::writeTool(tools.folder(), "ideviceinfo", "exit 0");
    scanOnce(manager);
    EXPECT_TRUE(manager.connectedDevices().empty());
    EXPECT_TRUE(manager.scanProblem().startsWith("idevice_id could not list devices (ERROR: Unable to retrieve device "
                                                 "list!)."));
    EXPECT_TRUE(manager.scanProblem().contains("usbmuxd (package usbmuxd)"));

    // A device that does not trust this computer yet.
    wizardtest::writeTool(tools.folder(), "idevice_id", "echo UNTRUSTED");
    wizardtest::writeTool(tools.folder(), "ideviceinfo",
                          "echo 'ERROR: Could not connect to lockdownd: Pairing dialog response pending (-19)' >&2\n"
                          "exit 255");
    scanOnce(manager);
    EXPECT_TRUE(manager.scanProblem().startsWith("ideviceinfo could not read the connected iPhone (ERROR: Could not "
                                                 "connect to lockdownd"));

    // Working tools with nothing attached clear the line.
    tools.install("");
    scanOnce(manager);
    EXPECT_EQ(manager.scanProblem(), "");
    EXPECT_EQ(problemSignals, 5);

    manager.stopScanning(); // never started: only logs
    EXPECT_FALSE(manager.isTimerRunning());
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST(DeviceManagerTest, RepeatedScansLogOnlyChanges) {
    FakeTools tools;
    wizardtest::writeTool(tools.folder(), "idevice_id", "echo 'ERROR: No usbmuxd here' >&2; exit 255");
    wizardtest::writeTool(tools.folder(), "ideviceinfo", "exit 0");
    iPhoneDeviceManager manager;
    for (int i = 0; i < 3; ++i) {
        scanOnce(manager);
    }
    tools.install("SAME\n");
    for (int i = 0; i < 3; ++i) {
        scanOnce(manager);
    }
    const std::string logs = Logger::shared().getAllLogs();
    EXPECT_EQ(occurrences(logs, "idevice_id failed: ERROR: No usbmuxd here"), 1u);
    EXPECT_EQ(occurrences(logs, "📱 Device: Phone of SAME (iPhone15,2, iOS 17.1)"), 1u);

    // A new failure text is logged again.
    wizardtest::writeTool(tools.folder(), "idevice_id", "echo 'ERROR: something else' >&2; exit 1");
    scanOnce(manager);
    scanOnce(manager);
    EXPECT_EQ(occurrences(Logger::shared().getAllLogs(), "idevice_id failed: ERROR: something else"), 1u);
}

TEST(DeviceManagerTest, SlowToolsAreNotStartedTwiceAndDoNotHoldUpClosing) {
    FakeTools tools;
    const fs::path starts = tools.folder() / "starts";
    wizardtest::writeTool(tools.folder(), "idevice_id", "echo x >> '" + starts.string() + "'\nexec /bin/sleep 30");
    wizardtest::writeTool(tools.folder(), "ideviceinfo", "exit 0");
    QElapsedTimer closing;
    {
        iPhoneDeviceManager manager;
        manager.startScanning(0.05);
        // Many ticks pass while the first scan hangs: none starts a second tool.
        qbtest::processEventsUntil([] { return false; }, std::chrono::milliseconds(500));
        EXPECT_TRUE(manager.isScanning());
        EXPECT_EQ(qbtest::readWholeFile(starts), "x\n");
        closing.start();
    }
    EXPECT_LT(closing.elapsed(), 2000); // not the tool's 15 s timeout
}

} // namespace
} // namespace quillobrandt
