#include "Quillobrandt/conversation/export/PdfExportFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/core/AtomicFile.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/FileMode.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"

namespace quillobrandt {
namespace {

constexpr std::size_t kCopyPiece = 256 * 1024;

QString describe(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Copies `from` piece by piece into a new file that replaces `to` once complete, with the mode a save on one file
// system gives (the rendered file was created 0666 less the umask). Returns 0, or the errno of the failure and
// whether it was the reading side.
std::pair<int, bool> copyReplacing(const char* from, const char* to) {
    platform::FileDescriptor in(::open(from, O_RDONLY | O_CLOEXEC));
    if (!in) {
        return {errno, true};
    }
    platform::AtomicFileWriter out(to, platform::userFileMode());
    std::vector<char> piece(kCopyPiece);
    while (out.ok()) {
        const ssize_t n = ::read(in.get(), piece.data(), piece.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {errno, true};
        }
        if (n == 0) {
            break;
        }
        out.write(std::string_view(piece.data(), static_cast<std::size_t>(n)));
    }
    if (!out.commit()) {
        return {out.error(), false};
    }
    return {0, false};
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
    const auto [code, reading] = copyReplacing(from.constData(), to.constData());
    if (code != 0) {
        if (error) {
            *error = reading
                         ? QStringLiteral("Could not read the rendered document \"%1\": %2").arg(source, describe(code))
                         : QStringLiteral("Could not write \"%1\": %2").arg(destination, describe(code));
        }
        return false;
    }
    ::unlink(from.constData());
    return true;
}

} // namespace quillobrandt
