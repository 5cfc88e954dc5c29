#pragma once

#include <QString>
#include <QUrl>

namespace platform {

// What the program asks of the desktop. GUI thread only.
class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    // Opens a web, mail or settings URL with the desktop's handler. False when nothing took it.
    virtual bool openUrl(const QUrl& url) = 0;
    // Shows a folder in the file manager. False when nothing could show it.
    virtual bool revealFolder(const QString& folderPath) = 0;
};

class QtDesktopServices final : public DesktopServices {
public:
    bool openUrl(const QUrl& url) override;
    bool revealFolder(const QString& folderPath) override;
};

} // namespace platform
