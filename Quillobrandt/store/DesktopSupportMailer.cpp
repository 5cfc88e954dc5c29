#include "Quillobrandt/store/Logger.h"

#include <cstdlib>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/core/Console.h"
#include "platform/core/SignalStack.h"

extern char** environ;

namespace quillobrandt {
namespace {

// Finds an executable on PATH; empty when absent.
std::string findOnPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) {
            continue;
        }
        const std::string candidate = folder + "/" + tool;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// Starts the tool without a shell (arguments are never interpreted) and reaps it in the background.
bool spawnDetached(const std::string& executable, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    std::thread([pid] {
        platform::ThreadSignalStack signalStack;
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

class DesktopSupportMailer final : public SupportMailer {
public:
    bool composeWithAttachment(const std::string& recipient, const std::string& subject, const std::string& body,
                               const std::filesystem::path& attachment) override {
        const std::string tool = findOnPath("xdg-email");
        if (tool.empty()) {
            return false;
        }
        return spawnDetached(tool, {"--subject", subject, "--body", body, "--attach", attachment.string(), recipient});
    }

    bool openUrl(const std::string& url) override {
        const std::string tool = findOnPath("xdg-open");
        return !tool.empty() && spawnDetached(tool, {url});
    }

    void showManualInstructions(const std::string& supportAddress, const std::filesystem::path& logFile) override {
        platform::consoleLine("⚠️ No e-mail program found. Please send " + logFile.string() + " to " + supportAddress);
    }
};

} // namespace

std::unique_ptr<SupportMailer> makeDesktopSupportMailer() { return std::make_unique<DesktopSupportMailer>(); }

} // namespace quillobrandt
