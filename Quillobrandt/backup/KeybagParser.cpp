#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/Keybag.h"

#include <string>
#include <string_view>

#include "platform/core/Console.h"

namespace quillobrandt {

std::int64_t readUInt32BigEndian(std::span<const std::uint8_t> value) {
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        result = (result << 8) | (i < value.size() ? value[i] : 0u);
    }
    return static_cast<std::int64_t>(result);
}

Keybag parseKeybag(std::span<const std::uint8_t> bytes) {
    Keybag keybag;
    bool anyTopLevel = false;
    KeybagClassEntry current;
    std::size_t offset = 0;
    while (offset < bytes.size() && bytes.size() - offset >= 8) {
        const std::string_view tag(reinterpret_cast<const char*>(bytes.data() + offset), 4);
        const auto length = static_cast<std::size_t>(readUInt32BigEndian(bytes.subspan(offset + 4, 4)));
        const std::size_t valueStart = offset + 8;
        if (length > bytes.size() - valueStart) {
            break; // the record announces more than there is: drop it, keep what came before
        }
        const auto value = bytes.subspan(valueStart, length);
        offset = valueStart + length;

        const auto asBytes = [&] { return std::vector<std::uint8_t>(value.begin(), value.end()); };
        if (tag == "DPSL") {
            platform::consoleLine("   🔑 Found DPSL (device salt, " + std::to_string(length) + " bytes)");
            keybag.dpsl = asBytes();
            anyTopLevel = true;
        } else if (tag == "DPIC") {
            keybag.dpic = readUInt32BigEndian(value);
            platform::consoleLine("   🔑 Found DPIC (device iterations: " + std::to_string(*keybag.dpic) + ")");
            anyTopLevel = true;
        } else if (tag == "SALT") {
            keybag.salt = asBytes();
            anyTopLevel = true;
        } else if (tag == "ITER") {
            keybag.iter = readUInt32BigEndian(value);
            anyTopLevel = true;
        } else if (tag == "UUID") {
            keybag.uuid = asBytes();
            anyTopLevel = true;
        } else if (tag == "CLAS") {
            if (!current.empty()) {
                keybag.classKeys.push_back(std::move(current));
            }
            current = KeybagClassEntry{};
            current.clas = readUInt32BigEndian(value);
            platform::consoleLine("   📦 Found protection class: " + std::to_string(*current.clas));
        } else if (tag == "WRAP") {
            current.wrap = readUInt32BigEndian(value);
        } else if (tag == "KTYP") {
            current.ktyp = readUInt32BigEndian(value);
        } else if (tag == "WPKY") {
            platform::consoleLine("   🔑 Found wrapped key (" + std::to_string(length) + " bytes)");
            current.wpky = asBytes();
        }
    }
    if (!current.empty()) {
        keybag.classKeys.push_back(std::move(current));
    }
    if (!anyTopLevel || !keybag.salt) {
        throw BackupError(BackupError::Code::invalidKeybag);
    }
    platform::consoleLine("   📊 Total protection classes found: " + std::to_string(keybag.classKeys.size()));
    return keybag;
}

} // namespace quillobrandt
