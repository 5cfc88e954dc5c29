// Keybags come from a backup someone handed us: any bytes must parse or fail cleanly.
#include <cstdint>
#include <cstdio>
#include <span>

#include "Quillobrandt/backup/AesKeyWrap.h"
#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/Keybag.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The parser's diagnostic lines would drown the fuzzer's own output.
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto keybag = quillobrandt::parseKeybag(std::span(data, size));
        static const std::uint8_t kek[32] = {};
        for (const auto& entry : keybag.classKeys) {
            if (entry.wpky) {
                quillobrandt::SecureBytes out;
                quillobrandt::aesUnwrap(*entry.wpky, kek, out);
            }
        }
    } catch (const quillobrandt::BackupError&) {
    }
    return 0;
}
