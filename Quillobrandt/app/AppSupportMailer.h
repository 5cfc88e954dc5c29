#pragma once

#include <QString>

#include <filesystem>
#include <string>

#include "Quillobrandt/store/Logger.h"

namespace quillobrandt {

// How the application e-mails the logs: the desktop's mail program through xdg-email, started in the
// background (a mail program may stay open for long); if it cannot start or ends with a non-zero status, a
// message box giving the address and the log file's path, which the user can select and copy. Without
// xdg-email the logger tries the mailto link first. GUI thread only.
class AppSupportMailer final : public SupportMailer {
public:
    // `mailTool`: the program to run; empty looks up "xdg-email" on PATH.
    explicit AppSupportMailer(QString mailTool = {});

    // False when the mail program is missing; a later failure of a started one falls back on its own.
    bool composeWithAttachment(const std::string& recipient, const std::string& subject, const std::string& body,
                               const std::filesystem::path& attachment) override;
    bool openUrl(const std::string& url) override;
    void showManualInstructions(const std::string& supportAddress, const std::filesystem::path& logFile) override;

private:
    QString mailTool_;
};

} // namespace quillobrandt
