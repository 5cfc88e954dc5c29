#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace platform {

// File panels. Name filters use the "Description (*.ext *.ext2)" form of QFileDialog.
struct OpenPanelRequest {
    QString title;
    QString directory;
    QStringList nameFilters;
    QString acceptLabel;

    bool operator==(const OpenPanelRequest&) const = default;
};

struct SavePanelRequest {
    QString title;
    QString directory;
    QString suggestedName;
    QStringList nameFilters;
    QString defaultSuffix; // without the dot: "pdf"
    QString acceptLabel;

    bool operator==(const SavePanelRequest&) const = default;
};

struct FolderPanelRequest {
    QString title;
    QString directory;
    QString acceptLabel;
    QStringList shortcuts = {}; // further folders offered in the panel's side bar

    bool operator==(const FolderPanelRequest&) const = default;
};

// Asks the user for a file or folder. GUI thread only. Every call returns the chosen absolute path, or
// nullopt when the user cancelled.
class PanelPresenter {
public:
    virtual ~PanelPresenter() = default;

    virtual std::optional<QString> chooseFileToOpen(const OpenPanelRequest& request) = 0;
    // The returned path already carries the default suffix; an existing file has been confirmed for replacing.
    virtual std::optional<QString> chooseSaveLocation(const SavePanelRequest& request) = 0;
    virtual std::optional<QString> chooseFolder(const FolderPanelRequest& request) = 0;
};

// QFileDialog parented to the active window.
class QtPanelPresenter final : public PanelPresenter {
public:
    std::optional<QString> chooseFileToOpen(const OpenPanelRequest& request) override;
    std::optional<QString> chooseSaveLocation(const SavePanelRequest& request) override;
    std::optional<QString> chooseFolder(const FolderPanelRequest& request) override;
};

// Where a panel without a folder of its own opens: the user's Documents folder where it exists, else the
// home folder; never the program's working directory.
QString defaultPanelDirectory();

// `path` with ".<suffix>" appended unless its file name already ends in that suffix (case-insensitive).
// An empty suffix leaves the path alone.
QString withDefaultSuffix(const QString& path, const QString& suffix);

} // namespace platform
