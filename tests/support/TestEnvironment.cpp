#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qbtest {
namespace {

fs::path g_root;
fs::path g_baseTemp;

void setEnv(const char* name, const fs::path& value) { ::setenv(name, value.c_str(), 1); }

class IsolationListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        std::string pattern = (g_baseTemp / "qbtest-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary test folder");
        }
        g_root = pattern;
        for (const char* sub : {"home", "config", "data", "cache", "tmp"}) {
            fs::create_directories(g_root / sub);
        }
        setEnv("HOME", g_root / "home");
        setEnv("XDG_CONFIG_HOME", g_root / "config");
        setEnv("XDG_DATA_HOME", g_root / "data");
        setEnv("XDG_CACHE_HOME", g_root / "cache");
        setEnv("TMPDIR", g_root / "tmp");
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        if (std::getenv("QB_KEEP_TEST_FILES") == nullptr && info.result() != nullptr && info.result()->Passed()) {
            std::error_code ec;
            // Folders made read-only by a test would stop the removal; give them back their write bit.
            for (auto it = fs::recursive_directory_iterator(g_root, ec); !ec && it != fs::recursive_directory_iterator();
                 it.increment(ec)) {
                if (it->is_directory(ec) && !it->is_symlink(ec)) {
                    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
                }
            }
            fs::remove_all(g_root, ec);
        }
    }
};

} // namespace

void IsolatedHome::installListener() {
    const char* tmp = std::getenv("TMPDIR");
    g_baseTemp = tmp != nullptr && *tmp != '\0' ? fs::path(tmp) : fs::path("/tmp");
    ::testing::UnitTest::GetInstance()->listeners().Append(new IsolationListener); // gtest takes ownership
}

fs::path IsolatedHome::root() { return g_root; }

fs::path copySharedTestData(const std::string& name) {
    const fs::path source = fs::path(QB_SHARED_TESTDATA_DIR) / name;
    const fs::path target = g_root / "testdata" / name;
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    return target;
}

} // namespace qbtest
