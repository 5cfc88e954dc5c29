#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "tests/app/RecordingHttpSender.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace wizardtest {

namespace fs = std::filesystem;

// Writes an executable shell script standing in for a device tool.
inline fs::path writeTool(const fs::path& folder, const std::string& name, const std::string& body) {
    fs::create_directories(folder);
    const fs::path file = folder / name;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file.c_str(), 0755);
    return file;
}

// A Messages database of one chat with +15557654321 holding one message, `text`; returns its bytes.
inline std::string oneMessageDatabase(const std::string& text) {
    const fs::path file = qbtest::IsolatedHome::root() / "phone" / "sms.db";
    fs::create_directories(file.parent_path());
    fs::remove(file);
    {
        qbtest::MessagesDatabaseBuilder builder(file);
        const auto chat = builder.addOneToOneChat("+15557654321");
        qbtest::MessageRow message;
        message.text = text;
        message.handleId = chat.handleId;
        builder.addMessageToChat(chat.chatId, message);
        builder.finish();
    }
    return qbtest::readWholeFile(file);
}

// Puts the test's own tool folder alone on PATH for the test's lifetime, so tools installed on the machine are
// never found. Scripts use shell built-ins, or other programs by their full path.
class FakeTools {
public:
    FakeTools() : folder_(qbtest::IsolatedHome::root() / "tools") {
        fs::create_directories(folder_);
        if (const char* old = std::getenv("PATH")) {
            oldPath_ = old;
        }
        ::setenv("PATH", folder_.string().c_str(), 1);
    }
    ~FakeTools() { ::setenv("PATH", oldPath_.c_str(), 1); }
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    // "idevice_id -l" prints `ids`; "ideviceinfo -u X" prints a name per UDID and fails for "broken".
    void install(const std::string& ids) const {
        writeTool(folder_, "idevice_id", "[ \"$1\" = -l ] || exit 2\nprintf '" + ids + "'");
        writeTool(folder_, "ideviceinfo",
                  "[ \"$1\" = -u ] || exit 2\n"
                  "case \"$2\" in broken) echo 'No device found' >&2; exit 1;; esac\n"
                  "echo \"DeviceName: Phone of $2\"\necho 'ProductType: iPhone15,2'\necho 'ProductVersion: 17.1'");
    }
    const fs::path& folder() const { return folder_; }

private:
    fs::path folder_;
    std::string oldPath_;
};

// An application state wired to its own hub and a silent analytics client, over the fake platform.
struct WizardEnvironment {
    platform::FakePlatform fake;
    platform::NotificationHub hub;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<qbtest::RecordingHttpSender>(), defaults};
    quillobrandt::AppState appState{&hub, &analytics};
};

} // namespace wizardtest
