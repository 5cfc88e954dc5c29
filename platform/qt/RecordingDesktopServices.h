#pragma once

#include <vector>

#include "platform/qt/DesktopServices.h"

namespace platform {

// Test double: records what would have been opened; answers `result` (true unless changed).
class RecordingDesktopServices final : public DesktopServices {
public:
    bool openUrl(const QUrl& url) override {
        openedUrls.push_back(url);
        return result;
    }
    bool revealFolder(const QString& folderPath) override {
        revealedFolders.push_back(folderPath);
        return result;
    }

    std::vector<QUrl> openedUrls;
    std::vector<QString> revealedFolders;
    bool result = true;
};

} // namespace platform
