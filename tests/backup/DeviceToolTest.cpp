// Running external tools and reading the device tools' output, with small shell scripts standing in for them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Quillobrandt/backup/CommandRunner.h"
#include "Quillobrandt/backup/iPhoneDevice.h"
#include "tests/support/TestEnvironment.h"

namespace quillobrandt {
namespace {

namespace fs = std::filesystem;

fs::path writeScript(const fs::path& folder, const std::string& name, const std::string& body, bool executable = true) {
    fs::create_directories(folder);
    const fs::path file = folder / name;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file.c_str(), executable ? 0755 : 0644);
    return file;
}

// Puts `folder` alone on PATH for the test's lifetime.
class ScopedPath {
public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) {
            old_ = old;
        }
        ::setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

TEST(CommandRunnerTest, CapturesBothStreamsAndTheExitStatus) {
    const auto tool =
        writeScript(qbtest::IsolatedHome::root() / "bin", "tool", "echo \"out $1 $2\"; echo 'err line' >&2; exit 3");
    std::string chunks;
    const auto result = runCommand(tool, {"a b", "--x"}, [&chunks](const std::string& chunk) { chunks += chunk; });
    EXPECT_EQ(result.standardOutput, "out a b --x\n");
    EXPECT_EQ(result.standardError, "err line\n");
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(chunks, "out a b --x\n");

    const auto ok = runCommand(writeScript(qbtest::IsolatedHome::root() / "bin", "ok", "exit 0"), {});
    EXPECT_TRUE(ok.success);
    EXPECT_EQ(ok.exitCode, 0);
}

TEST(CommandRunnerTest, ReadsLargeOutputOnBothStreamsWithoutDeadlock) {
    // Far more than a pipe buffer on each stream, written alternately.
    const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "big",
                                  "i=0; while [ $i -lt 3000 ]; do echo "
                                  "\"line $i 0123456789012345678901234567890123456789\"; echo e$i >&2; "
                                  "i=$((i+1)); done");
    const auto result = runCommand(tool, {});
    ASSERT_TRUE(result.success);
    EXPECT_EQ(std::count(result.standardOutput.begin(), result.standardOutput.end(), '\n'), 3000);
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 3000);
}

TEST(CommandRunnerTest, LaunchFailuresAndTimeoutsAreResultsNotThrows) {
    const auto missing = runCommand(qbtest::IsolatedHome::root() / "nope", {});
    EXPECT_EQ(missing.exitCode, -1);
    EXPECT_FALSE(missing.success);
    EXPECT_FALSE(missing.standardError.empty());

    const auto notExecutable =
        runCommand(writeScript(qbtest::IsolatedHome::root() / "bin", "plain", "exit 0", false), {});
    EXPECT_EQ(notExecutable.exitCode, -1);

    EXPECT_FALSE(runCommand("", {}).success);

    const auto slow = runCommand(writeScript(qbtest::IsolatedHome::root() / "bin", "slow", "exec sleep 30"), {}, {},
                                 std::chrono::milliseconds(200));
    EXPECT_EQ(slow.exitCode, -1);
    EXPECT_NE(slow.standardError.find("did not finish"), std::string::npos);
}

TEST(CommandRunnerTest, AToolThatClosesItsOutputAndLingersStillMeetsTheDeadline) {
    // Closing both streams used to end the watch, and the wait for the exit had no limit.
    const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "linger",
                                  "echo partial; exec >/dev/null 2>&1; exec /bin/sleep 30");
    const auto start = std::chrono::steady_clock::now();
    const auto result = runCommand(tool, {}, {}, std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_NE(result.standardError.find("did not finish"), std::string::npos);
}

// True while the process `pid` exists and has not ended (a zombie counts as ended).
bool isAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

pid_t readPid(const fs::path& file) {
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

TEST(CommandRunnerTest, AToolWhoseChildKeepsTheOutputOpenMeetsTheDeadlineAndItsGroupEnds) {
    // The tool itself exits at once; the child it leaves behind holds standard output open.
    const fs::path pidFile = qbtest::IsolatedHome::root() / "child.pid";
    const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "forks",
                                  "/bin/sleep 30 &\necho $! > '" + pidFile.string() + "'\necho 00008120-001A");
    const auto start = std::chrono::steady_clock::now();
    const auto result = runCommand(tool, {"-l"}, {}, std::chrono::milliseconds(400));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_NE(result.standardError.find("did not finish"), std::string::npos);
    const pid_t child = readPid(pidFile);
    ASSERT_GT(child, 0);
    // SIGKILL lands at once, but the reparented child is reaped by someone else: allow a moment.
    for (int i = 0; i < 100 && isAlive(child); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(isAlive(child)) << "the tool's child was left behind";
}

TEST(CommandRunnerTest, WhatAToolLeavesRunningAfterItsOwnEndIsStoppedToo) {
    const fs::path pidFile = qbtest::IsolatedHome::root() / "quiet.pid";
    const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "leaves",
                                  "/bin/sleep 30 >/dev/null 2>&1 &\necho $! > '" + pidFile.string() + "'\necho ok");
    const auto result = runCommand(tool, {});
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.standardOutput, "ok\n");
    const pid_t child = readPid(pidFile);
    ASSERT_GT(child, 0);
    for (int i = 0; i < 100 && isAlive(child); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(isAlive(child));
}

TEST(CommandRunnerTest, AToolPrintingWithoutEndIsStoppedAtTheOutputLimit) {
    std::size_t handed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const char* stream : {"", " >&2"}) {
        const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "chatty",
                                      std::string("exec /usr/bin/yes 0123456789abcdef") + stream);
        const auto result = runCommand(
            tool, {}, [&handed](const std::string& chunk) { handed += chunk.size(); }, std::chrono::seconds(30));
        EXPECT_FALSE(result.success) << stream;
        EXPECT_EQ(result.exitCode, -1);
        EXPECT_TRUE(result.standardOutput.empty());
        EXPECT_NE(result.standardError.find("more than 1 MiB"), std::string::npos) << result.standardError;
        EXPECT_LT(result.standardError.size(), 200u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_LE(handed, kCommandOutputLimit);

    // Just under the limit is kept whole.
    const auto fits = runCommand(writeScript(qbtest::IsolatedHome::root() / "bin", "fits",
                                             "/usr/bin/head -c 1000000 /dev/zero | /usr/bin/tr '\\0' x"),
                                 {});
    EXPECT_TRUE(fits.success) << fits.standardError;
    EXPECT_EQ(fits.standardOutput.size(), 1000000u);
}

TEST(CommandRunnerTest, SettingTheStopFlagEndsARunningTool) {
    const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "hang", "/bin/sleep 30 & wait");
    std::atomic<bool> stop{false};
    std::jthread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const auto result = runCommand(tool, {}, {}, std::chrono::seconds(30), &stop);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(result.success);
    EXPECT_NE(result.standardError.find("stopped"), std::string::npos);

    // A flag that stays clear changes nothing.
    std::atomic<bool> never{false};
    EXPECT_TRUE(runCommand(writeScript(qbtest::IsolatedHome::root() / "bin", "quick", "echo done"), {}, {},
                           std::chrono::seconds(10), &never)
                    .success);
}

TEST(CommandRunnerTest, OutputThatIsNotUtf8CountsAsEmpty) {
    const auto tool = writeScript(qbtest::IsolatedHome::root() / "bin", "bad", "printf '\\377\\376'; printf 'ok' >&2");
    const auto result = runCommand(tool, {});
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "ok");

    EXPECT_TRUE(isValidUtf8("plain é 📱"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF0\x9F\x93"));     // truncated
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // above U+10FFFF
}

TEST(ToolLookupTest, PrefersTheProgramFolderThenPath) {
    const fs::path own = qbtest::IsolatedHome::root() / "own";
    const fs::path onPath = qbtest::IsolatedHome::root() / "path";
    writeScript(onPath, "idevice_id", "exit 0");
    ScopedPath path("relative:" + onPath.string());
    EXPECT_EQ(findTool("idevice_id", own), onPath / "idevice_id");
    writeScript(own, "idevice_id", "exit 0");
    EXPECT_EQ(findTool("idevice_id", own), own / "idevice_id");
    EXPECT_EQ(findTool("ideviceinfo", own), std::nullopt);
    EXPECT_EQ(findTool("../path/idevice_id", own), std::nullopt);
    writeScript(onPath, "ideviceinfo", "exit 0", false);
    EXPECT_EQ(findTool("ideviceinfo", std::nullopt), std::nullopt); // not executable
}

TEST(DeviceOutputTest, DeviceIDsAreTrimmedLinesWithoutEmptyOnes) {
    EXPECT_EQ(parseDeviceIDs(""), std::vector<std::string>{});
    EXPECT_EQ(parseDeviceIDs("\n \t\n"), std::vector<std::string>{});
    EXPECT_EQ(parseDeviceIDs("  00008120-001A\t\n\nabc123\n"), (std::vector<std::string>{"00008120-001A", "abc123"}));
}

TEST(DeviceOutputTest, PropertiesSplitAtTheFirstColonAndFallBackToDefaults) {
    const auto properties = parseDeviceProperties("DeviceName:\n"
                                                  "  ProductType :  iPhone15,2  \n"
                                                  "TimeZone: Europe/Paris: summer\n"
                                                  ":Leading: colon\n"
                                                  "no colon here\n"
                                                  "ProductVersion: 16.0\n"
                                                  "ProductVersion: 17.1\n");
    EXPECT_EQ(properties.count("DeviceName"), 0u);
    EXPECT_EQ(properties.at("ProductType"), "iPhone15,2");
    EXPECT_EQ(properties.at("TimeZone"), "Europe/Paris: summer");
    EXPECT_EQ(properties.at("Leading"), "colon");
    EXPECT_EQ(properties.at("ProductVersion"), "17.1");

    const auto device = makeDevice("U1", properties);
    EXPECT_EQ(device, (iPhoneDevice{"U1", "iPhone", "iPhone15,2", "17.1"}));
    EXPECT_EQ(makeDevice("U2", {}), (iPhoneDevice{"U2", "iPhone", "Unknown", "Unknown"}));
}

} // namespace
} // namespace quillobrandt
