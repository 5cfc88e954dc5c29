// The crash marker is read at the start after a crash, possibly cut short or overwritten: any bytes must decode to
// a marker or to nothing.
#include <cstdint>
#include <string_view>

#include "Corvantesk/core/CrashMarker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto marker = corvantesk::decodeCrashMarker(text)) {
        // What decodes is what the start turns into a crash event: its texts must be usable as they are.
        (void)marker->signalOrException.size();
        (void)marker->message.size();
    }
    return 0;
}
