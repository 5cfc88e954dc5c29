#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quillobrandt {

// Why the program cannot show a window, looked at before Qt starts: Qt's own answer to a display it cannot open
// is to abort with the advice to reinstall. `environment` reads a variable (empty when unset); X11's local
// sockets are looked for in `x11SocketFolder`. Nothing when a display answers, or when the platform chosen
// through QT_QPA_PLATFORM needs none (offscreen, vnc, ...).
std::optional<std::string> displayProblem(const std::function<std::string(const char*)>& environment,
                                          const std::string& x11SocketFolder = "/tmp/.X11-unix");

// The same, for this process's environment.
std::optional<std::string> displayProblem();

// What the program prints when Qt could not start its platform after all (a display that took the connection
// and then refused it): the same kind of text as displayProblem's.
std::string displayFailureText();

} // namespace quillobrandt
