// Keyed-archive bodies are untrusted property lists: any bytes must give a string or nothing,
// without crashing, hanging or growing memory without bound.
#include "Quillobrandt/store/ArchivedBodyDecoder.h"
#include "Quillobrandt/store/KeyedArchiveDecoder.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto keyed = quillobrandt::decodeKeyedArchiveString(bytes);
    const auto body = quillobrandt::decodeArchivedBody(bytes);
    // A keyed archive that decides ends the search: the chain gives its text (or none for an empty one).
    if (keyed && (keyed->text.empty() ? body.text.has_value() : body.text != keyed->text)) {
        __builtin_trap();
    }
    return 0;
}
