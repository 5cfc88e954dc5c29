#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillobrandt {

// Which of the keyed unarchiving passes would have given the string; the first pass that succeeds wins.
enum class KeyedArchivePass {
    // Secure unarchiving restricted to NSAttributedString, NSString, NSDictionary and NSArray: the root is an
    // attributed string and every object reachable from it is of one of those classes.
    secureAttributedString,
    // Unarchiving an NSAttributedString without secure coding: the root is an attributed string holding
    // objects of other classes too (numbers, data, ...).
    attributedString,
    // Top-level unarchiving: the root is a plain string.
    topLevelString,
};

struct KeyedArchiveString {
    std::string text; // valid UTF-8 (ill-formed bytes become U+FFFD); may be empty
    KeyedArchivePass pass = KeyedArchivePass::secureAttributedString;
};

// Reads a keyed archive (a binary or XML property list written by a keyed archiver) and returns the string
// of its root object: the plain string of an attributed string, or a plain string itself.
//
// nullopt when the bytes are no keyed archive, when an object reachable from the root refers to an object
// or class that does not exist, or when the root is nil or of any other class.
//
// Object references are checked against the object table, and the walk over the object graph visits each
// object once. Pure; safe from any thread; never throws.
std::optional<KeyedArchiveString> decodeKeyedArchiveString(std::span<const std::uint8_t> bytes);

} // namespace quillobrandt
