#include "Quillobrandt/store/ArchivedBodyDecoder.h"

namespace quillobrandt {

std::optional<std::string> decodeAttributedBody(const std::vector<std::uint8_t>&, std::int64_t) {
    return std::nullopt;
}

} // namespace quillobrandt
