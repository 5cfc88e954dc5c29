#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/Plist.h"

namespace qbtest {

// Archived message bodies in the two real formats, for fixture databases and decoder tests.
//
// Typedstream bodies are laid out as Messages writes them: an NSMutableAttributedString whose string is an
// NSMutableString, followed by one attribute run covering the whole text (its length in UTF-16 units) with
// a dictionary holding "__kIMMessagePartAttributeName" = 0.
std::vector<std::uint8_t> typedStreamAttributedString(const std::string& text);
// A typedstream whose root is a plain NSString / an NSMutableString.
std::vector<std::uint8_t> typedStreamString(const std::string& text);
std::vector<std::uint8_t> typedStreamMutableString(const std::string& text);
// A typedstream whose root is an NSArray of NSStrings (no text).
std::vector<std::uint8_t> typedStreamArray(const std::vector<std::string>& items);

// Keyed archives (binary property lists) as a keyed archiver writes them.
// An NSAttributedString with a plain string and no attributes (only secure-pass classes).
std::vector<std::uint8_t> keyedArchiveAttributedString(const std::string& text);
// An NSMutableAttributedString whose attributes hold a number (a class the secure pass refuses).
std::vector<std::uint8_t> keyedArchiveAttributedStringWithNumber(const std::string& text);
// Root is a plain string / an NSMutableString object with "NS.string" / an NSString with "NS.bytes".
std::vector<std::uint8_t> keyedArchiveString(const std::string& text);
std::vector<std::uint8_t> keyedArchiveMutableString(const std::string& text);
std::vector<std::uint8_t> keyedArchiveStringBytes(const std::vector<std::uint8_t>& utf8);
// Root is an NSArray of strings (no text).
std::vector<std::uint8_t> keyedArchiveArray(const std::vector<std::string>& items);

// Number of UTF-16 units in UTF-8 text (attribute runs count in these).
std::size_t utf16Length(std::string_view utf8);

// Writes a typedstream value by value, keeping the shared-string and object tables the way the legacy
// archiver does, so tests can build bodies of any shape (and break them on purpose).
class TypedStreamWriter {
public:
    struct ClassInfo {
        std::string name;
        int version = 0;
    };

    // Writes the header: streamer version 4, "streamtyped", system version 1000.
    TypedStreamWriter();

    // An integer in the archive's compact form: one byte, or a tag and 2 or 4 bytes (little-endian).
    void integer(std::int64_t value);
    // A type-encoding string (shared: written once, referred to afterwards).
    void types(std::string_view encoding);
    // A shared string (class names, type encodings): new the first time, a reference afterwards.
    void sharedString(std::string_view text);
    // Starts a new object of the class given leaf to root; classes already written become references.
    // Returns the object's number in the object table.
    int beginObject(const std::vector<ClassInfo>& classes);
    void endObject();
    // A reference to an object (or class or C string) by its number in the object table.
    void objectReference(int number);
    void nil();
    // The value of a "+" type: a length and the bytes.
    void byteString(std::string_view bytes);
    // The value of a "*" type: a C string, new (as a shared string) the first time.
    void cString(std::string_view text);
    void raw(std::initializer_list<std::uint8_t> bytes);
    void raw(std::string_view bytes);

    // Convenience: a whole NSString / NSMutableString object with its "+" value.
    int stringObject(std::string_view text, bool isMutable);

    std::vector<std::uint8_t> bytes() const { return out_; }

private:
    int addToObjectTable(const std::string& key);

    std::vector<std::uint8_t> out_;
    std::vector<std::string> sharedStrings_;
    std::vector<std::string> objectTableKeys_; // "class:<name>", "cstring:<text>" or "" for objects
};

// Builds keyed archives: objects are appended to "$objects" (element 0 is "$null") and referred to by UID.
class KeyedArchiveBuilder {
public:
    KeyedArchiveBuilder();
    // Appends an object and returns its UID.
    std::uint64_t add(platform::Plist object);
    // A class description ("$classname", "$classes" leaf to root), written once per name.
    std::uint64_t classUid(const std::vector<std::string>& classes);
    // A dictionary object of the given class (the "$class" key is added).
    platform::Plist object(const std::vector<std::string>& classes);
    // The archive with `root` as its root object, as a binary (or XML) property list.
    std::vector<std::uint8_t> binary(std::uint64_t root);
    std::string xml(std::uint64_t root);

private:
    platform::Plist archive(std::uint64_t root);

    std::vector<platform::Plist> objects_;
    std::vector<std::pair<std::string, std::uint64_t>> classes_;
};

} // namespace qbtest
