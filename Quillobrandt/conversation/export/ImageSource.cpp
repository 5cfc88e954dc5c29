#include "Quillobrandt/conversation/export/ImageSource.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <array>

#include "Quillobrandt/conversation/export/HeifReader.h"

namespace quillobrandt {
namespace {

bool hasHeifBrand(const QByteArray& head) {
    if (head.size() < 12 || head.mid(4, 4) != "ftyp") {
        return false;
    }
    static constexpr std::array<const char*, 9> brands{"heic", "heix", "hevc", "hevx", "heim",
                                                       "heis", "hevm", "hevs", "mif1"};
    const QByteArray major = head.mid(8, 4);
    for (const char* brand : brands) {
        if (major == brand) {
            return true;
        }
    }
    // Compatible brands follow the minor version.
    for (qsizetype offset = 16; offset + 4 <= head.size(); offset += 4) {
        const QByteArray compatible = head.mid(offset, 4);
        if (compatible == "heic" || compatible == "mif1" || compatible == "heix") {
            return true;
        }
    }
    return false;
}

} // namespace

namespace ImageSource {

bool isHeif(const QString& path) {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray head = file.read(64);
        if (head.size() >= 12 && head.mid(4, 4) == "ftyp") {
            return hasHeifBrand(head);
        }
    }
    const QString extension = QFileInfo(path).suffix().toLower();
    return extension == QLatin1String("heic") || extension == QLatin1String("heif");
}

std::optional<QSizeF> pixelSize(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        return std::nullopt;
    }
    if (isHeif(path)) {
        const auto size = heifImageSize(path);
        if (!size) {
            return std::nullopt;
        }
        return QSizeF(*size);
    }
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) {
        return std::nullopt;
    }
    if (reader.transformation() & QImageIOHandler::TransformationRotate90) {
        size.transpose();
    }
    return QSizeF(size);
}

QImage load(const QString& path, QSize target) {
    if (target.isEmpty() || !QFileInfo(path).isFile()) {
        return {};
    }
    if (isHeif(path)) {
        QImage image = decodeHeif(path);
        if (image.isNull()) {
            return {};
        }
        return image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const bool rotated = reader.transformation() & QImageIOHandler::TransformationRotate90;
    // The scaled size applies before the stored orientation is.
    reader.setScaledSize(rotated ? target.transposed() : target);
    QImage image = reader.read();
    if (image.isNull()) {
        return {};
    }
    if (image.size() != target) {
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return image;
}

} // namespace ImageSource

QImage downscaleImage(const QImage& image, double width, double height) {
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    if (image.isNull() || w <= 0 || h <= 0) {
        return image;
    }
    QImage bitmap(w, h, QImage::Format_RGB32);
    if (bitmap.isNull()) {
        return image;
    }
    bitmap.fill(Qt::white);
    {
        QPainter painter(&bitmap);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(0, 0, w, h), image);
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(70);
    if (!writer.write(bitmap)) {
        return image;
    }
    QImage decoded;
    if (!decoded.loadFromData(jpeg, "jpeg")) {
        return image;
    }
    return decoded;
}

} // namespace quillobrandt
