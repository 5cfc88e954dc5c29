#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace qbtest {

// What `work` answers when run in a forked child (an exception as "exception: <what>"): for what a test may do
// only apart from its own process, as another user or in a mount namespace of its own.
std::string answerFromChild(const std::function<std::string()>& work);

// Runs `work` in a child process with a mount namespace of its own, where it may mount small or read-only
// file systems without touching the machine's. Returns what the child wrote, or nullopt when this machine
// allows no such namespace (not root).
std::optional<std::string> inOwnMountNamespace(const std::function<std::string()>& work);

// Mounts a tmpfs with `options` ("size=1m") on `folder` (made when missing). Throws std::runtime_error.
void mountTmpfs(const std::filesystem::path& folder, const char* options);

} // namespace qbtest
