#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <gtest/gtest.h>

#if __has_include(<libheif/heif.h>)
#include <libheif/heif.h>
#define QB_TEST_HEIF 1
#endif

#include "Quillobrandt/conversation/export/ImageSource.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;

namespace {

QString pathIn(const char* name) {
    return QString::fromStdString((qbtest::IsolatedHome::root() / name).string());
}

#ifdef QB_TEST_HEIF
// Encodes a solid blue picture as HEIC with libheif's own encoder. False when none is installed.
bool writeHeic(const QString& path, int width, int height) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code != heif_error_Ok) {
        heif_context_free(context);
        return false;
    }
    heif_encoder_set_lossy_quality(encoder, 60);
    heif_image* image = nullptr;
    heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, width, height, 8);
    int stride = 0;
    uint8_t* data = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = data + y * stride + x * 3;
            pixel[0] = 20;
            pixel[1] = 40;
            pixel[2] = 220;
        }
    }
    const bool ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code == heif_error_Ok &&
                    heif_context_write_to_file(context, path.toLocal8Bit().constData()).code == heif_error_Ok;
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return ok;
}
#endif

} // namespace

TEST(ImageSource, MeasuresAndLoadsOrdinaryPictures) {
    const QString path = pathIn("green.png");
    QImage source(640, 480, QImage::Format_RGB32);
    source.fill(Qt::green);
    ASSERT_TRUE(source.save(path, "PNG"));
    EXPECT_EQ(ImageSource::pixelSize(path), QSizeF(640, 480));
    const QImage loaded = ImageSource::load(path, QSize(64, 48));
    ASSERT_FALSE(loaded.isNull());
    EXPECT_EQ(loaded.size(), QSize(64, 48));
    EXPECT_FALSE(ImageSource::isHeif(path));
}

TEST(ImageSource, UnreadableFilesGiveNothing) {
    EXPECT_FALSE(ImageSource::pixelSize(pathIn("missing.png")));
    EXPECT_TRUE(ImageSource::load(pathIn("missing.png"), QSize(10, 10)).isNull());
    const QString junk = pathIn("junk.heic");
    QFile file(junk);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\0\0\0\x18"
               "ftypheic\0\0\0\0mif1heic garbage follows",
               40);
    file.close();
    EXPECT_TRUE(ImageSource::isHeif(junk));
    EXPECT_FALSE(ImageSource::pixelSize(junk));
    EXPECT_TRUE(ImageSource::load(junk, QSize(10, 10)).isNull());
    EXPECT_FALSE(ImageSource::pixelSize(QString::fromStdString(qbtest::IsolatedHome::root().string())));
}

TEST(ImageSource, DownscaleRendersExactSizeAndFallsBack) {
    QImage source(100, 50, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    const QImage scaled = downscaleImage(source, 40.9, 20.2);
    EXPECT_EQ(scaled.size(), QSize(40, 20));
    // Transparency is laid on white, not black.
    EXPECT_GT(qGray(scaled.pixel(20, 10)), 240);
    EXPECT_EQ(downscaleImage(source, 0.5, 10).size(), source.size());
}

TEST(ImageSource, HeicThroughLibheif) {
#ifdef QB_TEST_HEIF
    const QString path = pathIn("photo.HEIC");
    if (!writeHeic(path, 128, 96)) {
        GTEST_SKIP() << "no HEVC encoder installed";
    }
    EXPECT_TRUE(ImageSource::isHeif(path));
    EXPECT_EQ(ImageSource::pixelSize(path), QSizeF(128, 96));
    const QImage loaded = ImageSource::load(path, QSize(32, 24));
    ASSERT_FALSE(loaded.isNull());
    EXPECT_EQ(loaded.size(), QSize(32, 24));
    const QColor centre = loaded.pixelColor(16, 12);
    EXPECT_GT(centre.blue(), 180);
    EXPECT_LT(centre.red(), 70);
#else
    GTEST_SKIP() << "built without libheif";
#endif
}

TEST(ImageSource, StoredOrientationIsAppliedBeforeMeasuring) {
    QImage source(80, 40, QImage::Format_RGB32);
    source.fill(Qt::white);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(source.save(&buffer, "JPEG"));
    // An Exif segment right after the start marker: one entry, Orientation = 6 (rotate 90° clockwise).
    const char exif[] = "\xFF\xE1\x00\x22"
                        "Exif\0\0"
                        "MM\x00\x2A\x00\x00\x00\x08"
                        "\x00\x01"
                        "\x01\x12\x00\x03\x00\x00\x00\x01\x00\x06\x00\x00"
                        "\x00\x00\x00\x00";
    jpeg.insert(2, QByteArray(exif, sizeof exif - 1));
    const QString path = pathIn("portrait.jpg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(jpeg);
    file.close();
    ASSERT_EQ(QImageReader(path).transformation(), QImageIOHandler::TransformationRotate90);

    EXPECT_EQ(ImageSource::pixelSize(path), QSizeF(40, 80));
    EXPECT_EQ(ImageSource::load(path, QSize(20, 40)).size(), QSize(20, 40));
}
