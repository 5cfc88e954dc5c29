#pragma once

#include <QImage>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <optional>

namespace quillobrandt {

// Reads pictures for printing without decoding more than needed. JPEG, PNG, GIF and the other
// Qt formats go through QImageReader, HEIC/HEIF (the iPhone's usual format) through libheif when
// the build has it. The orientation stored in the file is applied before measuring. Any file that
// cannot be read gives nullopt or a null image, never a crash. Safe in worker threads.
namespace ImageSource {

// Pixel width and height as displayed (after the stored orientation).
std::optional<QSizeF> pixelSize(const QString& path);

// The picture rendered at `target` pixels (displayed orientation). Null when it cannot be decoded.
QImage load(const QString& path, QSize target);

// Whether the file is HEIC/HEIF, by its "ftyp" brand or, failing that, its extension.
bool isHeif(const QString& path);

} // namespace ImageSource

// Re-renders `image` at exactly the truncated width × height pixels and passes it through JPEG at
// quality 70, which keeps printed pictures small. Transparent parts are laid on white first.
// Returns the source unchanged when the size is empty or encoding fails.
QImage downscaleImage(const QImage& image, double width, double height);

} // namespace quillobrandt
