#pragma once

#include <filesystem>

namespace qbtest {

// Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and TMPDIR at fresh folders below
// one temporary root, so no test touches the real user's files. Installed as a GoogleTest
// listener: every test case starts with empty folders.
class IsolatedHome {
public:
    static void installListener();
    // The root of the current test's private folders.
    static std::filesystem::path root();
};

// Copies a file of ../shared/testdata (read-only in CI) into the current test's folder and returns the copy.
std::filesystem::path copySharedTestData(const std::string& name);

} // namespace qbtest
