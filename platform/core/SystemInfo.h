#pragma once

#include <string>

namespace platform {

// PRETTY_NAME of /etc/os-release (else /usr/lib/os-release), e.g. "Debian GNU/Linux 12 (bookworm)"; "Linux" if unreadable.
std::string osPrettyName();
// VERSION_ID of os-release ("12"), else the kernel release.
std::string osVersion();
// The DMI product name (/sys/devices/virtual/dmi/id/product_name), else the machine type from uname ("x86_64").
std::string deviceModel();
// The login's full name from the password database (GECOS up to the first comma), else the login name.
std::string userFullName();

// Parses os-release text: the value of `key`, unquoted; empty when absent.
std::string osReleaseValue(const std::string& osReleaseText, const std::string& key);

} // namespace platform
