#include "Quillobrandt/store/Attachment.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace quillobrandt {
namespace {

std::string lowerCasedExtension(const std::string& filename) {
    const auto slash = filename.find_last_of('/');
    const std::string_view last =
        slash == std::string::npos ? std::string_view(filename) : std::string_view(filename).substr(slash + 1);
    const auto dot = last.find_last_of('.');
    if (dot == std::string_view::npos) {
        return {};
    }
    std::string extension(last.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return extension;
}

} // namespace

bool Attachment::isImage() const {
    if (mimeType) {
        return mimeType->rfind("image/", 0) == 0;
    }
    static constexpr std::array<std::string_view, 6> imageExtensions{"jpg", "jpeg", "png", "gif", "heic", "heif"};
    const auto extension = lowerCasedExtension(filename);
    return std::find(imageExtensions.begin(), imageExtensions.end(), extension) != imageExtensions.end();
}

} // namespace quillobrandt
