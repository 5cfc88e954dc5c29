// Device detection through stand-in tools, on the real event loop.
#include <gtest/gtest.h>

#include "Quillobrandt/wizard/iPhoneDeviceManager.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/wizard/WizardTestSupport.h"

namespace quillobrandt {
namespace {

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

TEST(DeviceManagerTest, MissingOrFailingToolsGiveAnEmptyListWithoutAnError) {
    FakeTools tools; // nothing installed: no process may be started
    iPhoneDeviceManager manager;
    manager.scanForDevices();
    EXPECT_FALSE(manager.isScanning());
    EXPECT_TRUE(manager.connectedDevices().empty());

    wizardtest::writeTool(tools.folder(), "idevice_id", "echo 'ERROR: Unable to retrieve device list' >&2; exit 1");
    wizardtest::writeTool(tools.folder(), "ideviceinfo", "exit 0");
    EXPECT_EQ(iPhoneDeviceManager::getDeviceIDs(tools.folder() / "idevice_id"), std::nullopt);
    scanOnce(manager);
    EXPECT_TRUE(manager.connectedDevices().empty());

    manager.stopScanning(); // never started: only logs
    EXPECT_FALSE(manager.isTimerRunning());
}

} // namespace
} // namespace quillobrandt
