#include "tests/support/ArchiveBlobBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace qbtest {
namespace {

constexpr std::uint8_t tagInteger2 = 0x81;
constexpr std::uint8_t tagInteger4 = 0x82;
constexpr std::uint8_t tagNew = 0x84;
constexpr std::uint8_t tagNil = 0x85;
constexpr std::uint8_t tagEndOfObject = 0x86;
constexpr int firstReferenceNumber = -110;

const std::vector<TypedStreamWriter::ClassInfo> mutableStringClasses = {
    {"NSMutableString", 1}, {"NSString", 1}, {"NSObject", 0}};
const std::vector<TypedStreamWriter::ClassInfo> stringClasses = {{"NSString", 1}, {"NSObject", 0}};

} // namespace

std::size_t utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) {
            units += c >= 0xF0 ? 2 : 1; // four-byte sequences are surrogate pairs
        }
    }
    return units;
}

// --- typedstream

TypedStreamWriter::TypedStreamWriter() {
    out_.push_back(4);
    out_.push_back(11);
    raw(std::string_view("streamtyped"));
    integer(1000);
}

void TypedStreamWriter::integer(std::int64_t value) {
    if (value >= -110 && value <= 127) {
        out_.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(value)));
    } else if (value >= -32768 && value <= 32767) {
        out_.push_back(tagInteger2);
        const auto v = static_cast<std::uint16_t>(value);
        out_.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
    } else {
        out_.push_back(tagInteger4);
        const auto v = static_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8) {
            out_.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
        }
    }
}

void TypedStreamWriter::types(std::string_view encoding) { sharedString(encoding); }

void TypedStreamWriter::sharedString(std::string_view text) {
    const auto found = std::find(sharedStrings_.begin(), sharedStrings_.end(), text);
    if (found != sharedStrings_.end()) {
        integer(static_cast<std::int64_t>(found - sharedStrings_.begin()) + firstReferenceNumber);
        return;
    }
    sharedStrings_.emplace_back(text);
    out_.push_back(tagNew);
    byteString(text);
}

int TypedStreamWriter::addToObjectTable(const std::string& key) {
    objectTableKeys_.push_back(key);
    return static_cast<int>(objectTableKeys_.size() - 1);
}

int TypedStreamWriter::beginObject(const std::vector<ClassInfo>& classes) {
    out_.push_back(tagNew);
    const int number = addToObjectTable("");
    for (const ClassInfo& info : classes) {
        const std::string key = "class:" + info.name;
        const auto found = std::find(objectTableKeys_.begin(), objectTableKeys_.end(), key);
        if (found != objectTableKeys_.end()) {
            objectReference(static_cast<int>(found - objectTableKeys_.begin()));
            return number;
        }
        out_.push_back(tagNew);
        sharedString(info.name);
        integer(info.version);
        addToObjectTable(key);
    }
    nil();
    return number;
}

void TypedStreamWriter::endObject() { out_.push_back(tagEndOfObject); }

void TypedStreamWriter::objectReference(int number) { integer(number + firstReferenceNumber); }

void TypedStreamWriter::nil() { out_.push_back(tagNil); }

void TypedStreamWriter::byteString(std::string_view bytes) {
    integer(static_cast<std::int64_t>(bytes.size()));
    raw(bytes);
}

void TypedStreamWriter::cString(std::string_view text) {
    const std::string key = "cstring:" + std::string(text);
    const auto found = std::find(objectTableKeys_.begin(), objectTableKeys_.end(), key);
    if (found != objectTableKeys_.end()) {
        objectReference(static_cast<int>(found - objectTableKeys_.begin()));
        return;
    }
    out_.push_back(tagNew);
    sharedString(text);
    addToObjectTable(key);
}

void TypedStreamWriter::raw(std::initializer_list<std::uint8_t> bytes) { out_.insert(out_.end(), bytes); }

void TypedStreamWriter::raw(std::string_view bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

int TypedStreamWriter::stringObject(std::string_view text, bool isMutable) {
    const int number = beginObject(isMutable ? mutableStringClasses : stringClasses);
    types("+");
    byteString(text);
    endObject();
    return number;
}

std::vector<std::uint8_t> typedStreamAttributedString(const std::string& text) {
    TypedStreamWriter w;
    w.types("@");
    w.beginObject({{"NSMutableAttributedString", 0}, {"NSAttributedString", 0}, {"NSObject", 0}});
    w.types("@");
    w.stringObject(text, true);
    if (!text.empty()) {
        w.types("iI");
        w.integer(1);
        w.integer(static_cast<std::int64_t>(utf16Length(text)));
        w.types("@");
        w.beginObject({{"NSDictionary", 0}, {"NSObject", 0}});
        w.types("i");
        w.integer(1);
        w.types("@");
        w.stringObject("__kIMMessagePartAttributeName", false);
        w.types("@");
        w.beginObject({{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}});
        w.types("*");
        w.cString("i");
        w.types("i");
        w.integer(0);
        w.endObject();
        w.endObject();
    }
    w.endObject();
    return w.bytes();
}

std::vector<std::uint8_t> typedStreamString(const std::string& text) {
    TypedStreamWriter w;
    w.types("@");
    w.stringObject(text, false);
    return w.bytes();
}

std::vector<std::uint8_t> typedStreamMutableString(const std::string& text) {
    TypedStreamWriter w;
    w.types("@");
    w.stringObject(text, true);
    return w.bytes();
}

std::vector<std::uint8_t> typedStreamArray(const std::vector<std::string>& items) {
    TypedStreamWriter w;
    w.types("@");
    w.beginObject({{"NSArray", 0}, {"NSObject", 0}});
    w.types("i");
    w.integer(static_cast<std::int64_t>(items.size()));
    for (const std::string& item : items) {
        w.types("@");
        w.stringObject(item, false);
    }
    w.endObject();
    return w.bytes();
}

// --- keyed archives

KeyedArchiveBuilder::KeyedArchiveBuilder() { objects_.push_back(platform::Plist::string("$null")); }

std::uint64_t KeyedArchiveBuilder::add(platform::Plist object) {
    objects_.push_back(std::move(object));
    return objects_.size() - 1;
}

std::uint64_t KeyedArchiveBuilder::classUid(const std::vector<std::string>& classes) {
    for (const auto& [name, uid] : classes_) {
        if (name == classes.front()) {
            return uid;
        }
    }
    platform::Plist description = platform::Plist::dict();
    description.root().set("$classname", platform::Plist::string(classes.front()));
    platform::Plist hierarchy = platform::Plist::array();
    for (const std::string& name : classes) {
        hierarchy.root().append(platform::Plist::string(name));
    }
    description.root().set("$classes", std::move(hierarchy));
    const std::uint64_t uid = add(std::move(description));
    classes_.emplace_back(classes.front(), uid);
    return uid;
}

platform::Plist KeyedArchiveBuilder::object(const std::vector<std::string>& classes) {
    platform::Plist result = platform::Plist::dict();
    result.root().set("$class", platform::Plist::uid(classUid(classes)));
    return result;
}

platform::Plist KeyedArchiveBuilder::archive(std::uint64_t root) {
    platform::Plist result = platform::Plist::dict();
    result.root().set("$version", platform::Plist::integer(100000));
    result.root().set("$archiver", platform::Plist::string("NSKeyedArchiver"));
    platform::Plist top = platform::Plist::dict();
    top.root().set("root", platform::Plist::uid(root));
    result.root().set("$top", std::move(top));
    platform::Plist objects = platform::Plist::array();
    for (const platform::Plist& object : objects_) {
        objects.root().append(platform::Plist(plist_copy(object.root().raw())));
    }
    result.root().set("$objects", std::move(objects));
    return result;
}

std::vector<std::uint8_t> KeyedArchiveBuilder::binary(std::uint64_t root) { return archive(root).toBinary(); }

std::string KeyedArchiveBuilder::xml(std::uint64_t root) { return archive(root).toXml(); }

std::vector<std::uint8_t> keyedArchiveAttributedString(const std::string& text) {
    KeyedArchiveBuilder b;
    platform::Plist attributed = b.object({"NSAttributedString", "NSObject"});
    const std::uint64_t string = b.add(platform::Plist::string(text));
    attributed.root().set("NSString", platform::Plist::uid(string));
    return b.binary(b.add(std::move(attributed)));
}

std::vector<std::uint8_t> keyedArchiveAttributedStringWithNumber(const std::string& text) {
    KeyedArchiveBuilder b;
    platform::Plist attributed = b.object({"NSMutableAttributedString", "NSAttributedString", "NSObject"});
    attributed.root().set("NSString", platform::Plist::uid(b.add(platform::Plist::string(text))));
    platform::Plist attributes = b.object({"NSDictionary", "NSObject"});
    platform::Plist keys = platform::Plist::array();
    keys.root().append(platform::Plist::uid(b.add(platform::Plist::string("__kIMMessagePartAttributeName"))));
    platform::Plist values = platform::Plist::array();
    values.root().append(platform::Plist::uid(b.add(platform::Plist::integer(0))));
    attributes.root().set("NS.keys", std::move(keys));
    attributes.root().set("NS.objects", std::move(values));
    attributed.root().set("NSAttributes", platform::Plist::uid(b.add(std::move(attributes))));
    return b.binary(b.add(std::move(attributed)));
}

std::vector<std::uint8_t> keyedArchiveString(const std::string& text) {
    KeyedArchiveBuilder b;
    return b.binary(b.add(platform::Plist::string(text)));
}

std::vector<std::uint8_t> keyedArchiveMutableString(const std::string& text) {
    KeyedArchiveBuilder b;
    platform::Plist string = b.object({"NSMutableString", "NSString", "NSObject"});
    string.root().set("NS.string", platform::Plist::string(text));
    return b.binary(b.add(std::move(string)));
}

std::vector<std::uint8_t> keyedArchiveStringBytes(const std::vector<std::uint8_t>& utf8) {
    KeyedArchiveBuilder b;
    platform::Plist string = b.object({"NSString", "NSObject"});
    string.root().set("NS.bytes", platform::Plist::data(utf8));
    return b.binary(b.add(std::move(string)));
}

std::vector<std::uint8_t> keyedArchiveArray(const std::vector<std::string>& items) {
    KeyedArchiveBuilder b;
    platform::Plist array = b.object({"NSArray", "NSObject"});
    platform::Plist elements = platform::Plist::array();
    for (const std::string& item : items) {
        elements.root().append(platform::Plist::uid(b.add(platform::Plist::string(item))));
    }
    array.root().set("NS.objects", std::move(elements));
    return b.binary(b.add(std::move(array)));
}

} // namespace qbtest
