#include "Quillobrandt/conversation/export/PdfExportFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "platform/core/AtomicFile.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"

namespace quillobrandt {
namespace {

// Rendered documents are read whole into memory to cross file systems; beyond this size give up.
constexpr std::size_t kMaxCopyBytes = std::size_t(2) * 1024 * 1024 * 1024;

QString describe(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

QString temporaryPdfPath() {
    const std::filesystem::path folder = platform::privateTempDir();
    if (folder.empty()) {
        return {};
    }
    return QString::fromStdString((folder / (platform::makeUuidString() + ".pdf")).string());
}

std::vector<Message> pdfExportMessages(const std::vector<Message>& messages) {
    std::vector<Message> kept;
    kept.reserve(messages.size());
    std::copy_if(messages.begin(), messages.end(), std::back_inserter(kept),
                 [](const Message& m) { return !m.associatedMessageGUID; });
    return kept;
}

std::vector<Message> pdfExportMessages(const std::vector<Message>& source, std::span<const std::uint32_t> positions) {
    std::vector<Message> kept;
    kept.reserve(positions.size());
    for (const std::uint32_t position : positions) {
        if (position < source.size() && !source[position].associatedMessageGUID) {
            kept.push_back(source[position]);
        }
    }
    return kept;
}

bool containsImage(const std::vector<Message>& messages) {
    return std::any_of(messages.begin(), messages.end(), [](const Message& m) { return m.hasImageAttachment(); });
}

std::int64_t fileSizeKilobytes(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() ? info.size() / 1024 : 0;
}

bool moveFinishedPdf(const QString& source, const QString& destination, QString* error) {
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(destination);
    if (::rename(from.constData(), to.constData()) == 0) {
        return true;
    }
    const int renameError = errno;
    if (renameError != EXDEV) {
        if (error) {
            *error =
                QStringLiteral("Could not move the document to \"%1\": %2").arg(destination, describe(renameError));
        }
        return false;
    }
    const auto bytes = platform::readFile(from.toStdString(), kMaxCopyBytes);
    if (!bytes) {
        if (error) {
            *error = QStringLiteral("Could not read the rendered document \"%1\"").arg(source);
        }
        return false;
    }
    errno = 0;
    if (!platform::writeFileAtomically(to.toStdString(), *bytes, 0600)) {
        const int code = errno;
        if (error) {
            *error = QStringLiteral("Could not write \"%1\"").arg(destination);
            if (code != 0) {
                *error += QStringLiteral(": ") + describe(code);
            }
        }
        return false;
    }
    ::unlink(from.constData());
    return true;
}

} // namespace quillobrandt
