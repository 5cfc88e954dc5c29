#include "platform/qt/PanelPresenter.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>

#include "platform/core/Paths.h"

namespace platform {
namespace {

void applyCommon(QFileDialog& dialog, const QString& title, const QString& directory, const QString& acceptLabel) {
    if (!title.isEmpty()) {
        dialog.setWindowTitle(title);
    }
    dialog.setDirectory(directory.isEmpty() ? defaultPanelDirectory() : directory);
    if (!acceptLabel.isEmpty()) {
        dialog.setLabelText(QFileDialog::Accept, acceptLabel);
    }
}

// Room a title bar takes above a panel before the window manager says how much.
constexpr int kTitleBarAllowance = 40;

// A panel larger than the screen's free area (a small or scaled screen) would put its buttons out of reach: it
// gets what fits, down to the least its layout takes.
void fitToScreen(QFileDialog& dialog) {
    const QWidget* anchor = dialog.parentWidget() != nullptr ? dialog.parentWidget()->window() : nullptr;
    const QScreen* screen =
        anchor != nullptr && anchor->screen() != nullptr ? anchor->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QSize room = screen->availableGeometry().size() - QSize(0, kTitleBarAllowance);
    const QSize wanted = dialog.testAttribute(Qt::WA_Resized) ? dialog.size() : dialog.sizeHint();
    dialog.resize(wanted.boundedTo(room).expandedTo(dialog.minimumSizeHint()));
}

std::optional<QString> firstSelection(QFileDialog& dialog) {
    fitToScreen(dialog);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) {
        return std::nullopt;
    }
    return QFileInfo(files.first()).absoluteFilePath();
}

} // namespace

QString defaultPanelDirectory() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir()) {
        return documents;
    }
    return QString::fromStdString(homeDir().string());
}

std::optional<QString> QtPanelPresenter::chooseFileToOpen(const OpenPanelRequest& request) {
    QFileDialog dialog(QApplication::activeWindow());
    applyCommon(dialog, request.title, request.directory, request.acceptLabel);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (!request.nameFilters.isEmpty()) {
        dialog.setNameFilters(request.nameFilters);
    }
    return firstSelection(dialog);
}

std::optional<QString> QtPanelPresenter::chooseSaveLocation(const SavePanelRequest& request) {
    QFileDialog dialog(QApplication::activeWindow());
    applyCommon(dialog, request.title, request.directory, request.acceptLabel);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (!request.nameFilters.isEmpty()) {
        dialog.setNameFilters(request.nameFilters);
    }
    if (!request.defaultSuffix.isEmpty()) {
        dialog.setDefaultSuffix(request.defaultSuffix);
    }
    if (!request.suggestedName.isEmpty()) {
        dialog.selectFile(request.suggestedName);
    }
    auto chosen = firstSelection(dialog);
    if (!chosen) {
        return std::nullopt;
    }
    return withDefaultSuffix(*chosen, request.defaultSuffix);
}

std::optional<QString> QtPanelPresenter::chooseFolder(const FolderPanelRequest& request) {
    QFileDialog dialog(QApplication::activeWindow());
    applyCommon(dialog, request.title, request.directory, request.acceptLabel);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (!request.shortcuts.isEmpty()) {
        QList<QUrl> places = dialog.sidebarUrls();
        for (const auto& folder : request.shortcuts) {
            places.append(QUrl::fromLocalFile(folder));
        }
        dialog.setSidebarUrls(places);
    }
    return firstSelection(dialog);
}

QString withDefaultSuffix(const QString& path, const QString& suffix) {
    if (suffix.isEmpty() || path.isEmpty()) {
        return path;
    }
    const QString fileName = QFileInfo(path).fileName();
    if (fileName.endsWith(QLatin1Char('.') + suffix, Qt::CaseInsensitive)) {
        return path;
    }
    return path + QLatin1Char('.') + suffix;
}

} // namespace platform
