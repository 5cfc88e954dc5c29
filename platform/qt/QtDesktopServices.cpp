#include "platform/qt/DesktopServices.h"

#include <QDesktopServices>

namespace platform {

bool QtDesktopServices::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

bool QtDesktopServices::revealFolder(const QString& folderPath) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folderPath));
}

} // namespace platform
