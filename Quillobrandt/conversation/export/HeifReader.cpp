#include "Quillobrandt/conversation/export/HeifReader.h"

#ifdef QB_HAVE_LIBHEIF
#include <libheif/heif.h>

#include <memory>
#endif

namespace quillobrandt {

#ifdef QB_HAVE_LIBHEIF
namespace {

// Pictures above this many pixels are refused rather than decoded (about 1 GB of RGBA).
constexpr qint64 kMaxPixels = 256LL * 1024 * 1024;

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
using ContextPtr = std::unique_ptr<heif_context, ContextFree>;
using HandlePtr = std::unique_ptr<heif_image_handle, HandleRelease>;
using ImagePtr = std::unique_ptr<heif_image, ImageRelease>;

HandlePtr primaryHandle(const QString& path, ContextPtr& context) {
    context.reset(heif_context_alloc());
    if (!context) {
        return {};
    }
    const QByteArray name = path.toLocal8Bit();
    if (heif_context_read_from_file(context.get(), name.constData(), nullptr).code != heif_error_Ok) {
        return {};
    }
    heif_image_handle* handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok) {
        return {};
    }
    return HandlePtr(handle);
}

} // namespace

std::optional<QSize> heifImageSize(const QString& path) {
    ContextPtr context;
    const HandlePtr handle = primaryHandle(path, context);
    if (!handle) {
        return std::nullopt;
    }
    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }
    return QSize(width, height);
}

QImage decodeHeif(const QString& path) {
    ContextPtr context;
    const HandlePtr handle = primaryHandle(path, context);
    if (!handle) {
        return {};
    }
    const qint64 pixels =
        qint64(heif_image_handle_get_width(handle.get())) * heif_image_handle_get_height(handle.get());
    if (pixels <= 0 || pixels > kMaxPixels) {
        return {};
    }
    heif_image* decoded = nullptr;
    if (heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code !=
        heif_error_Ok) {
        return {};
    }
    const ImagePtr image(decoded);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!data || width <= 0 || height <= 0 || stride < width * 4) {
        return {};
    }
    // Wrap libheif's plane, then copy before the plane is released.
    return QImage(data, width, height, stride, QImage::Format_RGBA8888).copy();
}

#else

std::optional<QSize> heifImageSize(const QString&) {
    return std::nullopt;
}
QImage decodeHeif(const QString&) {
    return {};
}

#endif

} // namespace quillobrandt
