#include <gtest/gtest.h>

#include <fstream>

#include "Corvantesk/core/DeviceState.h"
#include "tests/support/TestEnvironment.h"

using namespace corvantesk;
namespace fs = std::filesystem;

// Captured from a Debian 12 machine (trimmed).
static const char* kProcStatus = "Name:\tquillobrandt\nUmask:\t0022\nState:\tS (sleeping)\nVmPeak:\t  912344 kB\n"
                                 "VmRSS:\t  183204 kB\nRssAnon:\t  120000 kB\nThreads:\t17\nSigQ:\t0/62811\n";
static const char* kMeminfo = "MemTotal:       16284336 kB\nMemFree:         1023456 kB\nMemAvailable:    8142168 kB\n"
                              "Buffers:          345678 kB\nCached:          6543210 kB\n";

TEST(DeviceState, ParsesCapturedProcText) {
    const auto status = procfs::parseProcessStatus(kProcStatus);
    EXPECT_EQ(status.residentBytes, 183204ull * 1024);
    EXPECT_EQ(status.threads, 17);
    const auto memory = procfs::parseMemInfo(kMeminfo);
    EXPECT_EQ(memory.totalBytes, 16284336ull * 1024);
    EXPECT_EQ(memory.availableBytes, 8142168ull * 1024);
    EXPECT_EQ(procfs::parseUptime("35216.93 250839.12\n"), 35216.93);

    // Kernel threads have no VmRSS; garbage gives nothing rather than a wrong number.
    const auto kernel = procfs::parseProcessStatus("Name:\tkthreadd\nThreads:\t1\n");
    EXPECT_FALSE(kernel.residentBytes);
    EXPECT_FALSE(procfs::parseMemInfo("MemTotal: lots kB\n").totalBytes);
    EXPECT_FALSE(procfs::parseMemInfo("MemTotal: 99999999999999999999 kB\n").totalBytes);
    EXPECT_FALSE(procfs::parseUptime("-3 1"));
    EXPECT_FALSE(procfs::parseUptime(""));
}

TEST(DeviceState, ThermalStateFromZonesAndTrips) {
    using Zone = procfs::ThermalZone;
    EXPECT_EQ(procfs::thermalStateFromZones({}), "unknown");
    EXPECT_EQ(procfs::thermalStateFromZones({Zone{45000, {{"passive", 90000}, {"critical", 105000}}}}), "nominal");
    EXPECT_EQ(procfs::thermalStateFromZones({Zone{91000, {{"passive", 90000}, {"critical", 105000}}}}), "fair");
    EXPECT_EQ(procfs::thermalStateFromZones({Zone{40000, {}}, Zone{99000, {{"hot", 95000}}}}), "serious");
    EXPECT_EQ(procfs::thermalStateFromZones({Zone{106000, {{"passive", 90000}, {"critical", 105000}}}}), "critical");

    const fs::path root = qbtest::IsolatedHome::root() / "thermal";
    fs::create_directories(root / "thermal_zone0");
    std::ofstream(root / "thermal_zone0" / "temp") << "96000\n";
    std::ofstream(root / "thermal_zone0" / "trip_point_0_type") << "hot\n";
    std::ofstream(root / "thermal_zone0" / "trip_point_0_temp") << "95000\n";
    fs::create_directories(root / "cooling_device0");
    const auto zones = procfs::readThermalZones(root);
    ASSERT_EQ(zones.size(), 1u);
    EXPECT_EQ(procfs::thermalStateFromZones(zones), "serious");
}

TEST(DeviceState, SnapshotOfThisMachine) {
    const auto state = DeviceState::capture();
    EXPECT_GT(state.memoryTotal, 0u);
    ASSERT_TRUE(state.memoryUsedByApp);
    EXPECT_GT(*state.memoryUsedByApp, 0u);
    EXPECT_LT(*state.memoryUsedByApp, state.memoryTotal);
    EXPECT_GT(state.memoryUsagePercent, 0.0);
    EXPECT_LE(state.memoryUsagePercent, 100.0);
    EXPECT_GT(state.diskTotal, 0u);
    EXPECT_LE(state.diskAvailable, state.diskTotal);
    EXPECT_GE(state.threadCount, 1);
    EXPECT_GT(state.uptimeSeconds, 0.0);
    EXPECT_GE(state.processorCount, 1);
    EXPECT_FALSE(state.architecture.empty());
    EXPECT_FALSE(state.batteryLevel);
    EXPECT_FALSE(state.batteryState);
    EXPECT_FALSE(state.isLowPowerMode);
    ASSERT_TRUE(state.thermalState);

    const auto map = state.toDictionary();
    EXPECT_LE(map.size(), 11u);
    EXPECT_GE(map.size(), 9u);
    EXPECT_TRUE(map.at("memoryTotal").getIf<std::int64_t>());
    EXPECT_TRUE(map.at("architecture").getIf<std::string>());
}

TEST(DeviceState, CodableFormOmitsAbsentFieldsAndRoundTrips) {
    DeviceState state;
    state.memoryTotal = 8;
    state.architecture = "x86_64";
    state.thermalState = "nominal";
    const nlohmann::json json = state;
    EXPECT_FALSE(json.contains("memoryUsedByApp"));
    EXPECT_FALSE(json.contains("batteryLevel"));
    EXPECT_FALSE(json.contains("batteryState"));
    EXPECT_FALSE(json.contains("isLowPowerMode"));
    EXPECT_EQ(json.size(), 10u);
    EXPECT_EQ(json.get<DeviceState>(), state);
    nlohmann::json missing = json;
    missing.erase("architecture");
    EXPECT_THROW(missing.get<DeviceState>(), nlohmann::json::exception);
}
