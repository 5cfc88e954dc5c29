#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillobrandt {

// One protection-class entry of a backup keybag. Entries formed by WRAP/KTYP/WPKY records
// that came before the first CLAS have no `clas`.
struct KeybagClassEntry {
    std::optional<std::int64_t> clas;
    std::optional<std::int64_t> wrap;
    std::optional<std::int64_t> ktyp;
    std::optional<std::vector<std::uint8_t>> wpky;

    bool empty() const { return !clas && !wrap && !ktyp && !wpky; }
    bool operator==(const KeybagClassEntry&) const = default;
};

// The parsed keybag: the top-level values used for key derivation plus the class entries in keybag order.
struct Keybag {
    std::optional<std::vector<std::uint8_t>> dpsl;
    std::optional<std::int64_t> dpic;
    std::optional<std::vector<std::uint8_t>> salt;
    std::optional<std::int64_t> iter;
    std::optional<std::vector<std::uint8_t>> uuid;
    std::vector<KeybagClassEntry> classKeys;

    bool operator==(const Keybag&) const = default;
};

// The first four bytes as an unsigned big-endian number; shorter values read as if padded with zeros at the end.
std::int64_t readUInt32BigEndian(std::span<const std::uint8_t> value);

// Parses the "BackupKeyBag" bytes (tag, 4-byte big-endian length, value; repeated). A record that does not fit
// ends the parse, keeping what came before. Throws BackupError invalidKeybag when nothing top-level was found or
// there is no SALT. Prints its diagnostic lines to standard output. Any thread; depends only on its input.
Keybag parseKeybag(std::span<const std::uint8_t> bytes);

} // namespace quillobrandt
