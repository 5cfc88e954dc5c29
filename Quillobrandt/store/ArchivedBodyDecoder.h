#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillobrandt {

// Text of a message whose `text` column is NULL, decoded from its archived attributed body
// (`attributedBody`: a typedstream or a keyed archive). nullopt when nothing decodes or the decoded
// string is empty. `rowId` is only for diagnostics. Pure and thread-safe; never throws, whatever the bytes.
std::optional<std::string> decodeAttributedBody(const std::vector<std::uint8_t>& blob, std::int64_t rowId);

} // namespace quillobrandt
