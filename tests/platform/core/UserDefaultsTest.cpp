#include "platform/core/UserDefaults.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sys/stat.h>
#include <thread>

#include "tests/support/FsyncProbe.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using platform::UserDefaults;

TEST(UserDefaults, TypedValuesSurviveARestart) {
    const auto file = qbtest::IsolatedHome::root() / "config" / "Quillobrandt" / "defaults.json";
    {
        UserDefaults defaults(file);
        defaults.setString("ga_client_id", "abc");
        defaults.setBool("flag", true);
        defaults.setInteger("count", 1LL << 40);
        defaults.setDouble("ratio", 0.25);
        defaults.setData("blob", {0, 1, 2, 255, 254});
        defaults.set("list", nlohmann::json::array({"a", 1}));
        defaults.set("map", nlohmann::json{{"k", "v"}});
        defaults.remove("flag");
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("ga_client_id"), "abc");
    EXPECT_FALSE(reopened.boolean("flag").has_value());
    EXPECT_EQ(reopened.integer("count"), 1LL << 40);
    EXPECT_EQ(reopened.number("count"), static_cast<double>(1LL << 40));
    EXPECT_EQ(reopened.number("ratio"), 0.25);
    EXPECT_EQ(reopened.data("blob"), (std::vector<std::uint8_t>{0, 1, 2, 255, 254}));
    EXPECT_EQ(reopened.array("list"), nlohmann::json::array({"a", 1}));
    EXPECT_EQ(reopened.dictionary("map"), (nlohmann::json{{"k", "v"}}));
    EXPECT_FALSE(reopened.dictionary("blob").has_value()) << "data is not a dictionary";
    EXPECT_FALSE(reopened.string("count").has_value()) << "wrong type reads as absent";
}

TEST(UserDefaults, AFileThatIsNotJsonIsSetAsideAndAFreshOneStarts) {
    const auto folder = qbtest::IsolatedHome::root() / "config";
    const auto file = folder / "defaults.json";
    std::ofstream(file) << "{ not json";
    UserDefaults defaults(file);
    EXPECT_TRUE(defaults.keys().empty());
    defaults.setString("a", "b");
    EXPECT_EQ(UserDefaults(file).string("a"), "b");
    int asideCount = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with("defaults.json.corrupt-")) {
            ++asideCount;
        }
    }
    EXPECT_EQ(asideCount, 1);
}

TEST(UserDefaults, AnUnwritableFolderKeepsValuesInMemory) {
    const auto blocker = qbtest::IsolatedHome::root() / "config" / "blocker";
    std::ofstream(blocker) << "x";
    UserDefaults defaults(blocker / "defaults.json");
    defaults.setString("k", "v");
    EXPECT_EQ(defaults.string("k"), "v");
}

TEST(UserDefaults, ConcurrentWritersLeaveAValidFile) {
    const auto file = qbtest::IsolatedHome::root() / "config" / "defaults.json";
    UserDefaults defaults(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&defaults, t] {
            for (int i = 0; i < 50; ++i) {
                defaults.setInteger(std::string("k").append(std::to_string(t)), i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    UserDefaults reopened(file);
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(reopened.integer(std::string("k").append(std::to_string(t))), 49);
    }
}

TEST(Base64, RoundTripsEveryLengthAndRejectsJunk) {
    std::vector<std::uint8_t> bytes;
    for (int n = 0; n < 10; ++n) {
        EXPECT_EQ(UserDefaults::base64Decode(UserDefaults::base64Encode(bytes)), bytes);
        bytes.push_back(static_cast<std::uint8_t>(n * 37 + 200));
    }
    EXPECT_EQ(UserDefaults::base64Encode({'M', 'a', 'n'}), "TWFu");
    EXPECT_FALSE(UserDefaults::base64Decode("TW=u").has_value());
    EXPECT_FALSE(UserDefaults::base64Decode("TWF").has_value());
    EXPECT_FALSE(UserDefaults::base64Decode("T!Fu").has_value());
}

// The settings are shared by the GUI and the SDK's threads: one of them writing the file on a slow disk must not
// hold up another that only reads or changes a value.
TEST(UserDefaults, NoReaderWaitsWhileTheFileIsWritten) {
    UserDefaults defaults(qbtest::IsolatedHome::root() / "config" / "defaults.json");
    defaults.setString("kept", "yes");
    qbtest::FsyncProbe disk;
    disk.hold();
    std::thread writer([&] { defaults.setString("written", "slowly"); });
    ASSERT_TRUE(disk.waitForHeldCall(std::chrono::seconds(5)));
    auto read = std::async(std::launch::async, [&] { return defaults.string("kept"); });
    EXPECT_EQ(read.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "a reader waited for the disk";
    disk.release();
    writer.join();
    EXPECT_EQ(read.get(), "yes");
}
