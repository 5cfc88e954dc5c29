// XML property lists arrive in message bodies, "Manifest.plist" and a backup's index: any bytes must give a
// list or nothing, without crashing. The size cap of the fuzz runs is far below the sizes where nesting
// hurts, so the input is a recipe: a count (two bytes, times 16), a prefix, a piece repeated count times, and
// a suffix, the three parts split at the first two zero bytes. A few bytes reach millions.
#include "platform/core/Plist.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t count = (std::size_t{data[0]} << 8 | data[1]) * 16;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const auto first = rest.find('\0');
    const auto second = first == std::string_view::npos ? first : rest.find('\0', first + 1);
    std::string document;
    if (second == std::string_view::npos) {
        document.assign(rest);
    } else {
        const auto piece = rest.substr(first + 1, second - first - 1);
        document.reserve(first + piece.size() * count + rest.size() - second);
        document.append(rest.substr(0, first));
        for (std::size_t i = 0; i < count && document.size() < (std::size_t{16} << 20); ++i) {
            document.append(piece);
        }
        document.append(rest.substr(second + 1));
    }
    const auto plist = platform::Plist::parse(document);
    if (plist) {
        (void)plist->toXml();
    }
    return 0;
}
