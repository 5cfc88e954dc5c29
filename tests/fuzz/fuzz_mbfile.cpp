// File records are keyed archives out of a backup's index: any bytes must parse or fail cleanly.
#include <cstdint>
#include <cstdio>
#include <span>

#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/FileRecord.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        quillobrandt::parseFileMetadata(std::span(data, size));
    } catch (const quillobrandt::BackupError&) {
    }
    return 0;
}
