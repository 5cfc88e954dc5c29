// Typedstream bodies straight from a database are untrusted: any bytes must give a string or nothing,
// without crashing, hanging or growing memory without bound.
#include "Quillobrandt/store/ArchivedBodyDecoder.h"
#include "Quillobrandt/store/TypedStreamDecoder.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto text = quillobrandt::decodeTypedStreamString(bytes);
    const auto body = quillobrandt::decodeArchivedBody(bytes);
    // The whole chain must agree with the typedstream reader on a typedstream.
    if (text && !text->empty() && body.text != text) {
        __builtin_trap();
    }
    return 0;
}
