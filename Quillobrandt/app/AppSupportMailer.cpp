#include "Quillobrandt/app/AppSupportMailer.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <memory>

#include "platform/core/Console.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/DesktopServices.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {
namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// What is left when the mail program gave up. Not the mailto link: it would go to xdg-open, which fails where
// xdg-email did (no mail program), while Qt counts its mere start as success and nothing would show.
void fallBack(const std::string& recipient, const std::filesystem::path& attachment) {
    AppSupportMailer().showManualInstructions(recipient, attachment);
}

} // namespace

AppSupportMailer::AppSupportMailer(QString mailTool) : mailTool_(std::move(mailTool)) {}

bool AppSupportMailer::composeWithAttachment(const std::string& recipient, const std::string& subject,
                                             const std::string& body, const std::filesystem::path& attachment) {
    const QString tool = mailTool_.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("xdg-email")) : mailTool_;
    if (tool.isEmpty()) {
        return false;
    }
    // Owned by the application, so a mail program still open at quit is not waited for; it deletes itself.
    auto* process = new QProcess(QCoreApplication::instance());
    process->setProgram(tool);
    process->setArguments({QStringLiteral("--subject"), qs(subject), QStringLiteral("--body"), qs(body),
                           QStringLiteral("--attach"), QString::fromStdString(attachment.string()), qs(recipient)});
    process->setStandardInputFile(QProcess::nullDevice());
    auto handled = std::make_shared<bool>(false);
    const auto failed = [process, handled, recipient, attachment](const std::string& why) {
        if (*handled) {
            return;
        }
        *handled = true;
        platform::consoleLine("⚠️ xdg-email did not open an e-mail (" + why + ")");
        process->deleteLater();
        fallBack(recipient, attachment);
    };
    QObject::connect(process, &QProcess::errorOccurred, process, [failed](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            failed("it could not start");
        } else if (error == QProcess::Crashed) {
            failed("it crashed");
        }
    });
    QObject::connect(process, &QProcess::finished, process,
                     [process, handled, failed](int exitCode, QProcess::ExitStatus status) {
                         if (status == QProcess::NormalExit && exitCode == 0) {
                             *handled = true;
                             process->deleteLater();
                             return;
                         }
                         failed(status == QProcess::NormalExit ? "exit status " + std::to_string(exitCode)
                                                               : std::string("it crashed"));
                     });
    process->start();
    return true;
}

bool AppSupportMailer::openUrl(const std::string& url) {
    return platform::desktopServices()->openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
}

void AppSupportMailer::showManualInstructions(const std::string& supportAddress, const std::filesystem::path& logFile) {
    platform::AlertRequest alert;
    alert.messageText = QStringLiteral("No E-mail Program Found");
    alert.informativeText = QStringLiteral("Please send the log file\n\n") + QString::fromStdString(logFile.string()) +
                            QStringLiteral("\n\nto ") + qs(supportAddress) + QStringLiteral(".");
    alert.style = platform::AlertStyle::informational;
    alert.buttons = {QStringLiteral("OK")};
    alert.selectableText = true;
    platform::alertPresenter()->runModal(alert);
}

} // namespace quillobrandt
