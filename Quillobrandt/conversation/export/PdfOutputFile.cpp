#include "Quillobrandt/conversation/export/PdfOutputFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quillobrandt {
namespace {

constexpr qsizetype kBufferSize = 256 * 1024;

} // namespace

PdfOutputFile::PdfOutputFile(QString path) : path_(std::move(path)) {}

PdfOutputFile::~PdfOutputFile() {
    if (isOpen()) {
        finish();
    }
}

bool PdfOutputFile::openForWriting() {
    if (path_.isEmpty()) {
        failure_ = QStringLiteral("no file name");
        return false;
    }
    const int fd = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(errno);
        return false;
    }
    fd_ = platform::FileDescriptor(fd);
    buffer_.reserve(kBufferSize);
    return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool PdfOutputFile::finish() {
    const bool flushed = flushBuffer();
    if (fd_ && !fd_.close() && !failed()) {
        fail(errno);
    }
    QIODevice::close();
    return flushed && !failed();
}

qint64 PdfOutputFile::readData(char*, qint64) {
    return -1;
}

qint64 PdfOutputFile::writeData(const char* data, qint64 size) {
    if (failed()) {
        return -1;
    }
    if (buffer_.size() + size > kBufferSize && !flushBuffer()) {
        return -1;
    }
    if (size >= kBufferSize) {
        buffer_.append(data, static_cast<qsizetype>(size));
        return flushBuffer() ? size : -1;
    }
    buffer_.append(data, static_cast<qsizetype>(size));
    return size;
}

bool PdfOutputFile::flushBuffer() {
    const char* data = buffer_.constData();
    qsizetype left = buffer_.size();
    while (left > 0 && !failed()) {
        const ssize_t written = ::write(fd_.get(), data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno != EINTR) {
                fail(errno);
            }
            continue;
        }
        data += written;
        left -= written;
    }
    buffer_.clear();
    return !failed();
}

void PdfOutputFile::fail(int code) {
    if (failure_.isEmpty()) {
        failure_ = QString::fromLocal8Bit(std::strerror(code));
    }
}

} // namespace quillobrandt
