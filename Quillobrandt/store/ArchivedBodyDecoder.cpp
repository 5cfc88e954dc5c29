#include "Quillobrandt/store/ArchivedBodyDecoder.h"

#include "Quillobrandt/store/KeyedArchiveDecoder.h"
#include "Quillobrandt/store/TypedStreamDecoder.h"
#include "platform/core/Utf8Text.h"

#include <exception>

namespace quillobrandt {
namespace {

ArchivedBodyStep stepFor(KeyedArchivePass pass) {
    switch (pass) {
    case KeyedArchivePass::secureAttributedString:
        return ArchivedBodyStep::secureKeyedArchive;
    case KeyedArchivePass::attributedString:
        return ArchivedBodyStep::keyedAttributedString;
    case KeyedArchivePass::topLevelString:
        break;
    }
    return ArchivedBodyStep::keyedTopLevelObject;
}

const char* describe(ArchivedBodyStep step) {
    switch (step) {
    case ArchivedBodyStep::secureKeyedArchive:
        return "step 1 (secure keyed archive)";
    case ArchivedBodyStep::keyedAttributedString:
        return "step 2 (keyed attributed string)";
    case ArchivedBodyStep::keyedTopLevelObject:
        return "step 3 (keyed top-level object)";
    case ArchivedBodyStep::typedStream:
        break;
    }
    return "step 4 (typedstream)";
}

DecodedArchivedBody decided(std::string text, ArchivedBodyStep step) {
    DecodedArchivedBody result;
    result.decidedBy = step;
    if (!text.empty()) {
        result.text = std::move(text);
    }
    return result;
}

} // namespace

DecodedArchivedBody decodeArchivedBody(std::span<const std::uint8_t> blob) {
    // The keyed passes come first; a body they decide never reaches the typedstream reader, not even
    // when the decided string is empty.
    if (auto keyed = decodeKeyedArchiveString(blob)) {
        return decided(std::move(keyed->text), stepFor(keyed->pass));
    }
    if (auto typed = decodeTypedStreamString(blob)) {
        return decided(std::move(*typed), ArchivedBodyStep::typedStream);
    }
    return {};
}

std::optional<std::string> decodeAttributedBody(std::span<const std::uint8_t> blob, std::int64_t rowId,
                                                std::string* consoleLines) {
    try {
        DecodedArchivedBody decoded = decodeArchivedBody(blob);
        if (decoded.decidedBy && consoleLines != nullptr) {
            std::string& out = *consoleLines;
            out += "✅ Decoded attributedBody of message ";
            out += std::to_string(rowId);
            out += " at ";
            out += describe(*decoded.decidedBy);
            out += ": ";
            out += decoded.text ? platform::utf8::prefix(*decoded.text, 50) : std::string_view("(empty, no text)");
            out += '\n';
        }
        return std::move(decoded.text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace quillobrandt
