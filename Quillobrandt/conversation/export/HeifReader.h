#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

namespace quillobrandt {

// HEIC/HEIF through libheif. Without libheif in the build both report failure.
std::optional<QSize> heifImageSize(const QString& path);
QImage decodeHeif(const QString& path);

} // namespace quillobrandt
