// The check that runs before Qt: a display that is missing, or set but not answering, is named.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "Quillobrandt/app/DisplayCheck.h"
#include "tests/support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;

// A local socket that accepts connections, as a display server's does.
class ListeningSocket {
public:
    explicit ListeningSocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
        EXPECT_EQ(::listen(fd_, 4), 0);
    }
    ~ListeningSocket() { ::close(fd_); }
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;

private:
    int fd_;
};

std::optional<std::string> problemWith(std::map<std::string, std::string> variables, const fs::path& x11Folder) {
    return quillobrandt::displayProblem(
        [&variables](const char* name) {
            const auto found = variables.find(name);
            return found != variables.end() ? found->second : std::string();
        },
        x11Folder.string());
}

TEST(DisplayCheck, AMissingOrSilentDisplayIsNamedAndAnAnsweringOneIsNot) {
    const fs::path folder = qbtest::IsolatedHome::root() / "x11";
    fs::create_directories(folder);
    const auto advice = std::string("xvfb-run -a quillobrandt");

    const auto none = problemWith({}, folder);
    ASSERT_TRUE(none);
    EXPECT_NE(none->find("neither DISPLAY nor WAYLAND_DISPLAY is set"), std::string::npos);
    EXPECT_NE(none->find(advice), std::string::npos);

    // Set, but no server behind it: said as plainly as a missing one, never "reinstall".
    const auto silent = problemWith({{"DISPLAY", ":987"}}, folder);
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->rfind("Quillobrandt: the display \":987\" (DISPLAY) cannot be opened: nothing answers at " +
                                (folder / "X987").string(),
                            0),
              0u)
        << *silent;
    EXPECT_NE(silent->find(advice), std::string::npos);
    EXPECT_EQ(silent->find("einstall"), std::string::npos);
    const auto remote = problemWith({{"DISPLAY", "localhost:57.0"}}, folder);
    ASSERT_TRUE(remote);
    EXPECT_NE(remote->find("nothing answers on localhost port 6057"), std::string::npos) << *remote;
    const auto garbled = problemWith({{"DISPLAY", "nonsense"}}, folder);
    ASSERT_TRUE(garbled);
    EXPECT_NE(garbled->find("no display number in it"), std::string::npos);
    const auto wayland = problemWith({{"WAYLAND_DISPLAY", "wayland-9"}, {"XDG_RUNTIME_DIR", folder.string()}}, folder);
    ASSERT_TRUE(wayland);
    EXPECT_NE(wayland->find("the Wayland display \"wayland-9\" (WAYLAND_DISPLAY) cannot be opened"), std::string::npos);

    // A server that answers, on either kind of display.
    const ListeningSocket x11(folder / "X5");
    EXPECT_EQ(problemWith({{"DISPLAY", ":5"}}, folder), std::nullopt);
    EXPECT_EQ(problemWith({{"DISPLAY", "unix:5.0"}}, folder), std::nullopt);
    const ListeningSocket compositor(folder / "wayland-1");
    EXPECT_EQ(problemWith({{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", folder.string()}}, folder),
              std::nullopt);
    EXPECT_EQ(problemWith({{"WAYLAND_DISPLAY", "wayland-9"}, {"XDG_RUNTIME_DIR", folder.string()}, {"DISPLAY", ":5"}},
                          folder),
              std::nullopt)
        << "X11 beside a silent Wayland display";

    // A platform without a desktop display needs none; one asked for by name is checked alone.
    EXPECT_EQ(problemWith({{"QT_QPA_PLATFORM", "offscreen"}}, folder), std::nullopt);
    EXPECT_TRUE(problemWith({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":987"}}, folder));
    EXPECT_EQ(problemWith({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":5"}, {"WAYLAND_DISPLAY", "wayland-9"},
                           {"XDG_RUNTIME_DIR", folder.string()}},
                          folder),
              std::nullopt);
}

} // namespace
