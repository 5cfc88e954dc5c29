#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillobrandt {

// The four ways of reading a body, tried in this order; the first that gives a string decides.
enum class ArchivedBodyStep {
    secureKeyedArchive = 1,    // keyed archive, secure, attributed string of plain classes
    keyedAttributedString = 2, // keyed archive, attributed string holding other classes too
    keyedTopLevelObject = 3,   // keyed archive whose root is a plain string
    typedStream = 4,           // legacy typedstream archive (almost every real body)
};

struct DecodedArchivedBody {
    std::optional<std::string> text;              // absent when nothing decoded or the decided string was empty
    std::optional<ArchivedBodyStep> decidedBy;    // absent when no step gave a string
};

// Decodes an archived attributed body without writing anything. A step that decides ends the search,
// even with an empty string (which gives an absent text). Pure; safe from any thread; never throws.
DecodedArchivedBody decodeArchivedBody(std::span<const std::uint8_t> blob);

// Text of a message whose `text` column is NULL, decoded from its archived attributed body
// (`attributedBody`: a typedstream or a keyed archive). nullopt when nothing decodes or the decoded
// string is empty. When a step decides and `consoleLines` is given, the console diagnostic naming `rowId`, the
// step and the first 50 characters of the text is appended to it, newline-terminated; the caller writes it (or
// not: it quotes the message). Writes nothing itself. Safe from any thread; never throws, whatever the bytes.
std::optional<std::string> decodeAttributedBody(std::span<const std::uint8_t> blob, std::int64_t rowId,
                                                std::string* consoleLines = nullptr);

} // namespace quillobrandt
