#include "Quillobrandt/backup/FileRecord.h"

#include <cstdlib>
#include <string>

#include "Quillobrandt/backup/BackupError.h"
#include "platform/core/Console.h"

namespace quillobrandt {

namespace {

constexpr std::size_t kKeyPrefixLength = 4; // the class number in front of the wrapped key, dropped unread

// The object a reference names, or an invalid node when the reference is not one or points past the end.
platform::PlistNode dereference(platform::PlistNode objects, platform::PlistNode reference) {
    const auto index = uidIndex(reference);
    if (!index || *index >= objects.size()) {
        return {};
    }
    return objects.at(static_cast<std::size_t>(*index));
}

std::string quotedList(const std::vector<std::string>& keys) {
    std::string text = "[";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        text += (i == 0 ? "\"" : ", \"") + keys[i] + "\"";
    }
    return text + "]";
}

// The record's keys for the diagnostic line. libplist aborts when asked for the text of a key holding a NUL byte
// (a binary plist may carry one), so the keys are read from an XML rendering of the record, which stops each key
// at its first NUL instead.
std::vector<std::string> keysOf(platform::PlistNode record) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(record.raw(), &xml, &length);
    if (xml == nullptr) {
        return {};
    }
    const auto copy = platform::Plist::parse(xml, length);
    std::free(xml);
    return copy ? copy->root().keys() : std::vector<std::string>{};
}

[[noreturn]] void fail(const char* line) {
    platform::consoleLine(line);
    throw BackupError(BackupError::Code::invalidFileMetadata);
}

} // namespace

std::optional<std::uint64_t> uidIndex(platform::PlistNode reference) {
    return reference.uid();
}

FileRecord parseFileMetadata(std::span<const std::uint8_t> blob) {
    const auto plist = blob.empty() ? std::nullopt : platform::Plist::parse(blob.data(), blob.size());
    if (!plist || !plist->root().isDict()) {
        fail("   ❌ Failed to parse plist structure");
    }
    const auto root = plist->root();
    const auto objects = root.get("$objects");
    const auto top = root.get("$top");
    const auto rootReference = top.get("root");
    if (!objects.isArray() || !top.isDict() || !rootReference.valid()) {
        fail("   ❌ Failed to parse plist structure");
    }
    const auto rootIndex = uidIndex(rootReference);
    const auto record = dereference(objects, rootReference);
    if (!rootIndex || !record.isDict()) {
        fail("   ❌ Could not extract root index");
    }
    platform::consoleLine("   ✅ Root index: " + std::to_string(*rootIndex));
    platform::consoleLine("   📊 Root data keys: " + quotedList(keysOf(record)));

    FileRecord result;
    result.protectionClass = record.get("ProtectionClass").integer().value_or(0);
    platform::consoleLine("   🔐 Protection class: " + std::to_string(result.protectionClass));
    if (const auto size = record.get("Size").unsignedInteger()) {
        result.size = *size;
    }

    const auto keyObject = dereference(objects, record.get("EncryptionKey"));
    const auto keyData = keyObject.isDict() ? keyObject.get("NS.data").data() : std::nullopt;
    if (keyData && keyData->size() > kKeyPrefixLength) {
        result.wrappedKey.emplace(keyData->begin() + kKeyPrefixLength, keyData->end());
        platform::consoleLine("   🔑 Extracted encryption key (" + std::to_string(result.wrappedKey->size()) +
                              " bytes)");
    } else {
        platform::consoleLine("   ⚠️ No encryption key found");
    }
    return result;
}

} // namespace quillobrandt
