#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include "platform/core/FileDescriptor.h"

namespace quillobrandt {

// The file a PDF is written into: buffered, and keeping the first reason a write failed (a full disk,
// a size limit), which a plain file loses when a write is cut short. Once a write has failed, every
// later one fails too, so the render can stop at the next page.
class PdfOutputFile final : public QIODevice {
public:
    explicit PdfOutputFile(QString path);
    ~PdfOutputFile() override;

    // Creates or truncates the file, with the permissions the umask gives.
    bool openForWriting();
    // Writes what is buffered and closes; false when any write or the close failed.
    bool finish();

    bool failed() const { return !failure_.isEmpty(); }
    // Why it failed, for the user ("No space left on device").
    const QString& failure() const { return failure_; }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    bool flushBuffer();
    void fail(int code);

    const QString path_;
    platform::FileDescriptor fd_;
    QByteArray buffer_;
    QString failure_;
};

} // namespace quillobrandt
