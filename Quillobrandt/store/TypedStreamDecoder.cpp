#include "Quillobrandt/store/TypedStreamDecoder.h"

#include "platform/core/Utf8Text.h"

#include <array>
#include <exception>
#include <limits>
#include <string_view>
#include <vector>

namespace quillobrandt {
namespace {

// Head bytes, read as signed chars. Values in [firstTag, lastTag] are tags; any other head byte is a
// one-byte integer. Reference numbers start right after the tags so early ones fit in the head.
constexpr int tagInteger2 = -127;
constexpr int tagInteger4 = -126;
constexpr int tagFloatingPoint = -125;
constexpr int tagNew = -124;
constexpr int tagNil = -123;
constexpr int tagEndOfObject = -122;
constexpr int firstTag = -128;
constexpr int lastTag = -111;
constexpr std::int64_t firstReferenceNumber = lastTag + 1;

constexpr std::uint8_t streamerVersion = 4;
constexpr std::string_view littleEndianSignature = "streamtyped";
constexpr std::string_view bigEndianSignature = "typedstream";

// Real bodies nest four or five objects deep; anything near this is hostile.
constexpr int maxNesting = 64;

// Thrown inside the reader for any malformed or truncated input; never leaves this file.
struct Malformed {};

enum ClassFlags : std::uint8_t {
    isAttributedString = 1,
    isString = 2,
};

std::uint8_t flagsForClassName(std::string_view name) {
    static constexpr std::array<std::string_view, 4> attributedStrings = {
        "NSAttributedString", "NSMutableAttributedString", "NSConcreteAttributedString",
        "NSConcreteMutableAttributedString"};
    static constexpr std::array<std::string_view, 4> strings = {"NSString", "NSMutableString", "NSCFString",
                                                               "__NSCFString"};
    for (auto candidate : attributedStrings) {
        if (name == candidate) {
            return isAttributedString;
        }
    }
    for (auto candidate : strings) {
        if (name == candidate) {
            return isString;
        }
    }
    return 0;
}

enum class EntryKind : std::uint8_t { object, classDescription, cString };

// One row of the object table: objects, classes and C strings share its numbering.
struct Entry {
    EntryKind kind = EntryKind::object;
    std::uint8_t flags = 0;   // class: own and inherited kinds; object: its class's
    bool complete = false;    // object: its end marker has been read
    bool hasText = false;     // string object: its first value was a non-nil byte string
    std::int32_t firstObject = -1; // attributed string: its first value, the string object (-1: none or nil)
    std::uint32_t textOffset = 0;
    std::uint32_t textLength = 0;
};

// What the first value of an object's contents was; that is all the root object needs.
struct FirstValue {
    bool isObject = false;
    std::int32_t object = -1;
    bool isBytes = false;
    std::size_t offset = 0;
    std::size_t length = 0;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes)
        : data_(bytes.data()), size_(bytes.size()), stepBudget_(bytes.size() * 4 + 64),
          scanBudget_(bytes.size() * 64 + 4096) {
        sharedStrings_.reserve(16);
        entries_.reserve(32);
    }

    std::optional<std::string> rootString() {
        readHeader();
        const auto rootType = sharedString(head());
        if (!rootType || *rootType != "@") {
            throw Malformed{};
        }
        const std::int32_t root = object(head(), 0);
        if (root < 0) {
            return std::nullopt;
        }
        const Entry& entry = entries_[static_cast<std::size_t>(root)];
        if ((entry.flags & isAttributedString) != 0) {
            if (entry.firstObject < 0) {
                return std::nullopt;
            }
            return textOf(entries_[static_cast<std::size_t>(entry.firstObject)]);
        }
        if ((entry.flags & isString) != 0) {
            return textOf(entry);
        }
        return std::nullopt;
    }

private:
    std::optional<std::string> textOf(const Entry& entry) const {
        if (entry.kind != EntryKind::object || !entry.complete || (entry.flags & isString) == 0 || !entry.hasText) {
            return std::nullopt;
        }
        return platform::utf8::toValid(
            std::string_view(reinterpret_cast<const char*>(data_) + entry.textOffset, entry.textLength));
    }

    void readHeader() {
        if (byte() != streamerVersion) {
            throw Malformed{};
        }
        const std::size_t signatureLength = byte();
        const std::string_view signature = take(signatureLength);
        if (signature == littleEndianSignature) {
            bigEndian_ = false;
        } else if (signature == bigEndianSignature) {
            bigEndian_ = true;
        } else {
            throw Malformed{};
        }
        integer(head(), false); // system version: any value will do
    }

    // --- bytes

    std::uint8_t byte() {
        if (pos_ >= size_) {
            throw Malformed{};
        }
        return data_[pos_++];
    }

    int head() { return static_cast<std::int8_t>(byte()); }

    std::string_view take(std::size_t count) {
        if (count > size_ - pos_) {
            throw Malformed{};
        }
        const std::string_view bytes(reinterpret_cast<const char*>(data_) + pos_, count);
        pos_ += count;
        return bytes;
    }

    std::uint64_t fixedWidth(std::size_t width) {
        const std::string_view bytes = take(width);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t index = bigEndian_ ? i : width - 1 - i;
            value = (value << 8) | static_cast<std::uint8_t>(bytes[index]);
        }
        return value;
    }

    static bool isTag(int head) { return head >= firstTag && head <= lastTag; }

    std::int64_t integer(int head, bool isSigned) {
        if (!isTag(head)) {
            return isSigned ? head : static_cast<std::uint8_t>(head);
        }
        if (head == tagInteger2) {
            const auto raw = static_cast<std::uint16_t>(fixedWidth(2));
            return isSigned ? static_cast<std::int16_t>(raw) : raw;
        }
        if (head == tagInteger4) {
            const auto raw = static_cast<std::uint32_t>(fixedWidth(4));
            return isSigned ? static_cast<std::int32_t>(raw) : static_cast<std::int64_t>(raw);
        }
        throw Malformed{};
    }

    void floatingPoint(int head, std::size_t width) {
        if (head == tagFloatingPoint) {
            take(width);
        } else {
            integer(head, true);
        }
    }

    std::size_t referenceIndex(int head, std::size_t tableSize) {
        const std::int64_t index = integer(head, true) - firstReferenceNumber;
        if (index < 0 || static_cast<std::uint64_t>(index) >= tableSize) {
            throw Malformed{};
        }
        return static_cast<std::size_t>(index);
    }

    // --- strings

    // A length-prefixed byte string; nullopt for nil.
    std::optional<std::string_view> unsharedString(int head) {
        if (head == tagNil) {
            return std::nullopt;
        }
        const std::int64_t length = integer(head, false);
        return take(static_cast<std::size_t>(length));
    }

    // A byte string stored once and referred to afterwards (type encodings, class names); nullopt for nil.
    std::optional<std::string_view> sharedString(int head) {
        if (head == tagNil) {
            return std::nullopt;
        }
        if (head == tagNew) {
            const auto literal = unsharedString(this->head());
            if (!literal) {
                throw Malformed{};
            }
            sharedStrings_.push_back(*literal);
            return literal;
        }
        return sharedStrings_[referenceIndex(head, sharedStrings_.size())];
    }

    // --- object table

    std::int32_t addEntry(EntryKind kind) {
        if (entries_.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            throw Malformed{};
        }
        Entry entry;
        entry.kind = kind;
        entries_.push_back(entry);
        return static_cast<std::int32_t>(entries_.size() - 1);
    }

    std::int32_t referenceTo(int head, EntryKind kind) {
        const std::size_t index = referenceIndex(head, entries_.size());
        if (entries_[index].kind != kind) {
            throw Malformed{};
        }
        return static_cast<std::int32_t>(index);
    }

    // A class written leaf to root, each new one as name and version, the chain ending in nil or in a
    // reference to a class read before. Read without recursion: a chain may be as long as the input.
    // Returns the class's table index, or -1 for nil.
    std::int32_t classDescription(int head) {
        std::int32_t first = -1;
        std::int32_t last = -1;
        for (;;) {
            if (head == tagNil) {
                break;
            }
            if (head != tagNew) {
                const std::int32_t superclass = referenceTo(head, EntryKind::classDescription);
                if (first < 0) {
                    return superclass;
                }
                entries_[static_cast<std::size_t>(last)].flags |= entries_[static_cast<std::size_t>(superclass)].flags;
                break;
            }
            const auto name = sharedString(this->head());
            if (!name) {
                throw Malformed{};
            }
            integer(this->head(), true); // class version
            const std::int32_t index = addEntry(EntryKind::classDescription);
            entries_[static_cast<std::size_t>(index)].flags = flagsForClassName(*name);
            if (first < 0) {
                first = index;
            }
            last = index;
            head = this->head();
        }
        // Subclasses inherit what their superclasses are; the new classes of one chain are consecutive.
        for (std::int32_t index = last; index > first; --index) {
            entries_[static_cast<std::size_t>(index - 1)].flags |= entries_[static_cast<std::size_t>(index)].flags;
        }
        return first;
    }

    void cString(int head) {
        if (head == tagNil) {
            return;
        }
        if (head == tagNew) {
            const auto contents = sharedString(this->head());
            if (!contents) {
                throw Malformed{};
            }
            addEntry(EntryKind::cString);
            return;
        }
        referenceTo(head, EntryKind::cString);
    }

    // An object: nil, a reference to one read before, or new with its class and its contents up to the
    // end marker. Returns its table index, or -1 for nil.
    std::int32_t object(int head, int depth) {
        if (head == tagNil) {
            return -1;
        }
        if (head != tagNew) {
            return referenceTo(head, EntryKind::object);
        }
        if (depth >= maxNesting) {
            throw Malformed{};
        }
        const std::int32_t index = addEntry(EntryKind::object);
        const std::int32_t klass = classDescription(this->head());
        if (klass < 0) {
            throw Malformed{};
        }
        entries_[static_cast<std::size_t>(index)].flags = entries_[static_cast<std::size_t>(klass)].flags;

        FirstValue first;
        bool atFirst = true;
        for (int next = this->head(); next != tagEndOfObject; next = this->head()) {
            const auto types = sharedString(next);
            if (!types || types->empty()) {
                throw Malformed{};
            }
            spendScan(types->size());
            std::size_t start = 0;
            while (start < types->size()) {
                const std::size_t end = encodingEnd(*types, start);
                value(types->substr(start, end - start), depth + 1, atFirst ? &first : nullptr);
                atFirst = false;
                start = end;
            }
        }

        Entry& entry = entries_[static_cast<std::size_t>(index)];
        entry.complete = true;
        if ((entry.flags & isAttributedString) != 0 && first.isObject) {
            entry.firstObject = first.object;
        } else if ((entry.flags & isString) != 0 && first.isBytes) {
            entry.hasText = true;
            entry.textOffset = static_cast<std::uint32_t>(first.offset);
            entry.textLength = static_cast<std::uint32_t>(first.length);
        }
        return index;
    }

    // --- typed values

    // End of the one type encoding starting at `start`: a single character, or a bracketed array,
    // structure or union with everything up to its matching closing bracket.
    static std::size_t encodingEnd(std::string_view types, std::size_t start) {
        const char c = types[start];
        if (c != '[' && c != '{' && c != '(') {
            return start + 1;
        }
        int open = 0;
        for (std::size_t i = start; i < types.size(); ++i) {
            if (types[i] == '[' || types[i] == '{' || types[i] == '(') {
                ++open;
            } else if (types[i] == ']' || types[i] == '}' || types[i] == ')') {
                if (--open == 0) {
                    return i + 1;
                }
            }
        }
        throw Malformed{};
    }

    void spendStep() {
        if (stepBudget_ == 0) {
            throw Malformed{};
        }
        --stepBudget_;
    }

    // Type encodings are scanned for their brackets each time they are used, and a long shared one can be
    // referred to again and again with a byte each: the characters scanned are budgeted like the steps.
    void spendScan(std::size_t characters) {
        if (characters > scanBudget_) {
            throw Malformed{};
        }
        scanBudget_ -= characters;
    }

    // One value of exactly one type encoding. `first` (when given) learns what an object's first value was.
    void value(std::string_view type, int depth, FirstValue* first) {
        spendStep();
        if (depth >= maxNesting) {
            throw Malformed{};
        }
        switch (type[0]) {
        case 'c':
        case 'C':
            byte(); // chars are stored as they are, without tags
            return;
        case 's':
        case 'i':
        case 'l':
        case 'q':
            integer(head(), true);
            return;
        case 'S':
        case 'I':
        case 'L':
        case 'Q':
            integer(head(), false);
            return;
        case 'f':
            floatingPoint(head(), 4);
            return;
        case 'd':
            floatingPoint(head(), 8);
            return;
        case '*':
            cString(head());
            return;
        case ':':
        case '%':
            sharedString(head());
            return;
        case '+': {
            const auto bytes = unsharedString(head());
            if (first != nullptr && bytes) {
                first->isBytes = true;
                first->offset = static_cast<std::size_t>(bytes->data() - reinterpret_cast<const char*>(data_));
                first->length = bytes->size();
            }
            return;
        }
        case '#':
            classDescription(head());
            return;
        case '@': {
            const std::int32_t index = object(head(), depth);
            if (first != nullptr) {
                first->isObject = true;
                first->object = index;
            }
            return;
        }
        case '[':
            spendScan(type.size());
            array(type, depth);
            return;
        case '{':
            spendScan(type.size());
            structure(type, depth);
            return;
        default:
            throw Malformed{};
        }
    }

    // "[<count><element type>]"
    void array(std::string_view type, int depth) {
        if (type.size() < 3 || type.back() != ']') {
            throw Malformed{};
        }
        std::size_t i = 1;
        std::uint64_t count = 0;
        while (i < type.size() - 1 && type[i] >= '0' && type[i] <= '9') {
            count = count * 10 + static_cast<std::uint64_t>(type[i] - '0');
            if (count > size_) {
                throw Malformed{}; // more elements than bytes: never real
            }
            ++i;
        }
        const std::string_view element = type.substr(i, type.size() - 1 - i);
        if (i == 1 || element.empty() || encodingEnd(element, 0) != element.size()) {
            throw Malformed{};
        }
        if (element == "c" || element == "C") {
            take(static_cast<std::size_t>(count)); // byte arrays are stored as they are
            return;
        }
        for (std::uint64_t n = 0; n < count; ++n) {
            value(element, depth + 1, nullptr);
        }
    }

    // "{<name>=<field types>}"
    void structure(std::string_view type, int depth) {
        const std::size_t equals = type.find('=');
        if (type.back() != '}' || equals == std::string_view::npos) {
            throw Malformed{};
        }
        const std::string_view fields = type.substr(equals + 1, type.size() - equals - 2);
        std::size_t start = 0;
        while (start < fields.size()) {
            const std::size_t end = encodingEnd(fields, start);
            value(fields.substr(start, end - start), depth + 1, nullptr);
            start = end;
        }
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool bigEndian_ = false;
    std::size_t stepBudget_;
    std::size_t scanBudget_;
    std::vector<std::string_view> sharedStrings_;
    std::vector<Entry> entries_;
};

} // namespace

std::optional<std::string> decodeTypedStreamString(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    try {
        Reader reader(bytes);
        return reader.rootString();
    } catch (const Malformed&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace quillobrandt
