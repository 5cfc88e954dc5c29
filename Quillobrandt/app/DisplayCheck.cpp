#include "Quillobrandt/app/DisplayCheck.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quillobrandt {
namespace {

constexpr const char* kAdvice =
    " Start Quillobrandt from a graphical session, or on a virtual screen: xvfb-run -a quillobrandt";

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Whether something accepts a connection on the local socket `path` (a leading '@' names an abstract one).
bool localSocketAnswers(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    socklen_t length = sizeof(sa_family_t) + static_cast<socklen_t>(path.size());
    if (path.front() == '@') {
        address.sun_path[0] = '\0';
    } else {
        length += 1;
    }
    const Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket.fd() >= 0 && ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// Whether `host` accepts a TCP connection on `port` within two seconds.
bool tcpAnswers(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return false;
    }
    bool answers = false;
    for (const addrinfo* entry = found; entry != nullptr && !answers; entry = entry->ai_next) {
        const Socket socket(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (socket.fd() < 0) {
            continue;
        }
        if (::connect(socket.fd(), entry->ai_addr, entry->ai_addrlen) == 0) {
            answers = true;
            break;
        }
        pollfd waiting{socket.fd(), POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        answers = errno == EINPROGRESS && ::poll(&waiting, 1, 2000) == 1 &&
                  ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::freeaddrinfo(found);
    return answers;
}

// An X11 display name "[host]:number[.screen]": whether its server answers, and where it was looked for.
bool x11Answers(const std::string& display, const std::string& socketFolder, std::string& where) {
    const auto colon = display.rfind(':');
    if (colon == std::string::npos) {
        where = "no display number in it";
        return false;
    }
    std::string host = display.substr(0, colon);
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 5) {
        where = "no display number in it";
        return false;
    }
    if (host.empty() || host == "unix") {
        const std::string path = socketFolder + "/X" + number;
        where = "nothing answers at " + path;
        return localSocketAnswers(path) || localSocketAnswers("@" + path);
    }
    const int port = 6000 + std::atoi(number.c_str());
    where = "nothing answers on " + host + " port " + std::to_string(port);
    return tcpAnswers(host, port);
}

} // namespace

std::optional<std::string> displayProblem(const std::function<std::string(const char*)>& environment,
                                          const std::string& x11SocketFolder) {
    const std::string platform = environment("QT_QPA_PLATFORM");
    const bool wantsX11 = platform.rfind("xcb", 0) == 0;
    const bool wantsWayland = platform.rfind("wayland", 0) == 0;
    if (!platform.empty() && !wantsX11 && !wantsWayland) {
        return std::nullopt; // offscreen, vnc, eglfs, ...: no desktop display involved
    }
    const std::string x11 = environment("DISPLAY");
    const std::string wayland = environment("WAYLAND_DISPLAY");
    if (x11.empty() && wayland.empty()) {
        return std::string("Quillobrandt: no desktop session found: neither DISPLAY nor WAYLAND_DISPLAY is set.") +
               kAdvice;
    }
    std::string problems;
    if (!wayland.empty() && !wantsX11) {
        const std::string runtime = environment("XDG_RUNTIME_DIR");
        const std::string path = wayland.front() == '/' ? wayland : runtime + "/" + wayland;
        if (localSocketAnswers(path)) {
            return std::nullopt;
        }
        problems = "the Wayland display \"" + wayland + "\" (WAYLAND_DISPLAY) cannot be opened: nothing answers at " +
                   path;
    }
    if (!x11.empty() && !wantsWayland) {
        std::string where;
        if (x11Answers(x11, x11SocketFolder, where)) {
            return std::nullopt;
        }
        problems += (problems.empty() ? "" : "; ") + std::string("the display \"") + x11 +
                    "\" (DISPLAY) cannot be opened: " + where;
    }
    if (problems.empty()) {
        return std::nullopt; // only the kind of display QT_QPA_PLATFORM does not ask for is set: let Qt say
    }
    return "Quillobrandt: " + problems + "." + kAdvice;
}

std::optional<std::string> displayProblem() {
    return displayProblem([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    });
}

std::string displayFailureText() {
    return std::string("Quillobrandt: the display cannot be opened (the window system refused the connection, or "
                       "no platform could start).") +
           kAdvice;
}

} // namespace quillobrandt
