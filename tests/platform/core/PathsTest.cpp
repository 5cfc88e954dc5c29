#include "platform/core/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;

TEST(Paths, FollowTheXdgVariablesAndTheirDefaults) {
    const auto root = qbtest::IsolatedHome::root();
    EXPECT_EQ(platform::appSupportDir(), root / "data");
    EXPECT_EQ(platform::cachesDir(), root / "cache");
    EXPECT_EQ(platform::configDir(), root / "config");
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    ::unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(platform::appSupportDir(), root / "home" / ".local" / "share");
    EXPECT_EQ(platform::cachesDir(), root / "home" / ".cache");
    EXPECT_EQ(platform::expandTilde("~/Library/Messages/chat.db"), root / "home" / "Library/Messages/chat.db");
    EXPECT_EQ(platform::expandTilde("~other/x"), fs::path("~other/x"));
}

TEST(Paths, InsideComparesCleanedComponentsNotSubstrings) {
    EXPECT_TRUE(platform::isInside("/tmp/a/../b/chat.db", "/tmp"));
    EXPECT_TRUE(platform::isInside("/tmp/", "/tmp"));
    EXPECT_FALSE(platform::isInside("/tmpfoo/chat.db", "/tmp"));
    EXPECT_FALSE(platform::isInside("/home/u/tmp/chat.db", "/tmp"));
    EXPECT_FALSE(platform::isInside("/tmp/../etc/passwd", "/tmp"));
}

TEST(Paths, PrivateTempFolderIsOursAndRefusesAPlantedSymlink) {
    const auto tmp = platform::tempDir();
    const auto wanted = tmp / ("quillobrandt-" + std::to_string(::getuid()));
    const auto elsewhere = qbtest::IsolatedHome::root() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, wanted);

    const auto folder = platform::privateTempDir();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder, wanted);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(platform::isInside(folder, tmp));
}

TEST(Paths, PrivateTempFolderUsesTheStableNameWhenFree) {
    const auto folder = platform::privateTempDir();
    EXPECT_EQ(folder, platform::tempDir() / ("quillobrandt-" + std::to_string(::getuid())));
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
