#include "Quillobrandt/store/KeyedArchiveDecoder.h"

#include "platform/core/Utf8Text.h"

#include "platform/core/Plist.h"
#include "platform/core/PlistValues.h"

#include <array>
#include <cstring>
#include <exception>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillobrandt {
namespace {

using platform::PlistNode;

// Thrown inside the walk for a broken archive; never leaves this file.
struct Malformed {};

enum ObjectFlags : std::uint8_t {
    isAttributedString = 1,
    isString = 2,
    isSecureAllowed = 4, // one of the classes the secure pass accepts
};

constexpr std::array<std::string_view, 4> attributedStringClasses = {
    "NSAttributedString", "NSMutableAttributedString", "NSConcreteAttributedString",
    "NSConcreteMutableAttributedString"};
constexpr std::array<std::string_view, 4> stringClasses = {"NSString", "NSMutableString", "NSCFString",
                                                           "__NSCFString"};
constexpr std::array<std::string_view, 6> otherSecureClasses = {
    "NSDictionary", "NSMutableDictionary", "NSArray", "NSMutableArray", "__NSDictionaryI", "__NSArrayI"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
    for (auto candidate : names) {
        if (candidate == name) {
            return true;
        }
    }
    return false;
}

std::uint8_t flagsForClassName(std::string_view name) {
    if (contains(attributedStringClasses, name)) {
        return isAttributedString | isSecureAllowed;
    }
    if (contains(stringClasses, name)) {
        return isString | isSecureAllowed;
    }
    if (contains(otherSecureClasses, name)) {
        return isSecureAllowed;
    }
    return 0;
}

// Where the property list in `bytes` starts: a keyed archiver writes binary property lists; XML ones begin
// with '<', possibly after a byte-order mark and white space (which the parser does not take, so they are
// skipped here). nullopt for anything else, which keeps other bodies away from the property-list parser.
std::optional<std::size_t> propertyListStart(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view binaryMagic = "bplist00";
    if (bytes.size() >= binaryMagic.size() && std::memcmp(bytes.data(), binaryMagic.data(), binaryMagic.size()) == 0) {
        return 0;
    }
    std::size_t pos = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        pos = 3;
    }
    while (pos < bytes.size() && (bytes[pos] == ' ' || bytes[pos] == '\t' || bytes[pos] == '\r' || bytes[pos] == '\n')) {
        ++pos;
    }
    if (pos < bytes.size() && bytes[pos] == '<') {
        return pos;
    }
    return std::nullopt;
}

// An object reference: a UID, or in XML property lists the dictionary {"CF$UID": <integer>} that stands
// for one (the parser keeps it as a dictionary).
std::optional<std::uint64_t> referenceOf(PlistNode node) {
    if (auto uid = node.uid()) {
        return uid;
    }
    if (node.isDict() && node.size() == 1) {
        return node.get("CF$UID").unsignedInteger();
    }
    return std::nullopt;
}

// Containers inside one object (the key and value arrays of a dictionary) nest a level or two.
constexpr int maxInlineNesting = 16;

class ObjectGraph {
public:
    // The table is read into a vector once: indexing the list itself costs a walk from its start each time.
    explicit ObjectGraph(PlistNode objects)
        : objects_(platform::arrayValues(objects)), count_(objects_.size()), visited_(count_, false) {}

    // The archived object `uid` refers to; throws for a reference outside the table.
    PlistNode object(std::uint64_t uid) const {
        if (uid >= count_) {
            throw Malformed{};
        }
        return objects_[static_cast<std::size_t>(uid)];
    }

    // What kind of object `uid` is (never nil: uid 0 is "$null").
    std::uint8_t flagsOf(std::uint64_t uid) const {
        const PlistNode node = object(uid);
        switch (node.type()) {
        case PLIST_STRING:
            return isString | isSecureAllowed;
        case PLIST_DICT:
            return flagsOfClass(node.get("$class"));
        case PLIST_UINT:
        case PLIST_REAL:
        case PLIST_BOOLEAN:
        case PLIST_DATA:
        case PLIST_DATE:
            return 0; // numbers, data and dates: objects of classes the secure pass refuses
        default:
            throw Malformed{};
        }
    }

    // Visits every object reachable from `root` once, checking each reference and class description.
    // True when every one of them is of a class the secure pass accepts.
    bool walk(std::uint64_t root) {
        bool allSecure = true;
        std::vector<std::uint64_t> pending{root};
        while (!pending.empty()) {
            const std::uint64_t uid = pending.back();
            pending.pop_back();
            if (uid >= count_) {
                throw Malformed{};
            }
            if (uid == 0 || visited_[uid]) {
                continue;
            }
            visited_[uid] = true;
            if ((flagsOf(uid) & isSecureAllowed) == 0) {
                allSecure = false;
            }
            const PlistNode node = object(uid);
            if (!node.isDict()) {
                continue;
            }
            // Class descriptions are no objects: the class reference is checked by flagsOf, not walked.
            const plist_t classReference = node.get("$class").raw();
            for (const PlistNode& value : platform::dictionaryValues(node)) {
                if (value.raw() != classReference) {
                    collectReferences(value, 0, pending);
                }
            }
        }
        return allSecure;
    }

    // The string object `uid` refers to: a plain string, or a string object keeping its characters under
    // "NS.string" or as UTF-8 under "NS.bytes". nullopt when it is anything else.
    std::optional<std::string> stringOf(std::uint64_t uid) const {
        if (uid == 0 || (flagsOf(uid) & isString) == 0) {
            return std::nullopt;
        }
        const PlistNode node = object(uid);
        if (node.isString()) {
            return platform::utf8::toValid(node.string().value_or(std::string()));
        }
        if (auto characters = node.get("NS.string").string()) {
            return platform::utf8::toValid(*characters);
        }
        if (auto bytes = node.get("NS.bytes").data()) {
            return platform::utf8::toValid(
                std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        }
        return std::nullopt;
    }

private:
    std::uint8_t flagsOfClass(PlistNode classReference) const {
        const auto classUid = referenceOf(classReference);
        if (!classUid || *classUid == 0) {
            throw Malformed{};
        }
        // Many objects share one class, and its hierarchy may be long: each class is measured once.
        if (const auto known = classFlags_.find(*classUid); known != classFlags_.end()) {
            return known->second;
        }
        const std::uint8_t flags = measureClass(*classUid);
        classFlags_.emplace(*classUid, flags);
        return flags;
    }

    std::uint8_t measureClass(std::uint64_t classUid) const {
        const PlistNode description = object(classUid);
        const auto className = description.get("$classname").string();
        if (!className) {
            throw Malformed{};
        }
        std::uint8_t flags = flagsForClassName(*className);
        // "$classes" lists the class and its superclasses, leaf to root.
        for (const PlistNode& entry : platform::arrayValues(description.get("$classes"))) {
            if (auto name = entry.string()) {
                flags |= flagsForClassName(*name);
            }
        }
        return flags;
    }

    void collectReferences(PlistNode value, int depth, std::vector<std::uint64_t>& pending) const {
        if (depth > maxInlineNesting) {
            throw Malformed{};
        }
        if (auto uid = referenceOf(value)) {
            if (*uid >= count_) {
                throw Malformed{};
            }
            if (!visited_[*uid]) {
                pending.push_back(*uid);
            }
        } else if (value.isArray()) {
            for (const PlistNode& element : platform::arrayValues(value)) {
                collectReferences(element, depth + 1, pending);
            }
        } else if (value.isDict()) {
            for (const PlistNode& inner : platform::dictionaryValues(value)) {
                collectReferences(inner, depth + 1, pending);
            }
        }
    }

    std::vector<PlistNode> objects_;
    std::size_t count_;
    std::vector<bool> visited_;
    mutable std::unordered_map<std::uint64_t, std::uint8_t> classFlags_;
};

std::optional<KeyedArchiveString> decode(std::span<const std::uint8_t> bytes) {
    const auto start = propertyListStart(bytes);
    if (!start) {
        return std::nullopt;
    }
    const auto plist = platform::Plist::parse(bytes.data() + *start, bytes.size() - *start);
    if (!plist) {
        return std::nullopt;
    }
    const PlistNode archive = plist->root();
    if (archive.get("$archiver").string() != "NSKeyedArchiver") {
        return std::nullopt;
    }
    const PlistNode objects = archive.get("$objects");
    const auto root = referenceOf(archive.get("$top").get("root"));
    if (!objects.isArray() || !root || *root == 0) {
        return std::nullopt;
    }

    ObjectGraph graph(objects);
    const bool allSecure = graph.walk(*root);
    const std::uint8_t rootFlags = graph.flagsOf(*root);
    if ((rootFlags & isAttributedString) != 0) {
        const auto stringUid = referenceOf(graph.object(*root).get("NSString"));
        auto text = stringUid ? graph.stringOf(*stringUid) : std::nullopt;
        if (!text) {
            return std::nullopt;
        }
        return KeyedArchiveString{std::move(*text), allSecure ? KeyedArchivePass::secureAttributedString
                                                              : KeyedArchivePass::attributedString};
    }
    if ((rootFlags & isString) != 0) {
        auto text = graph.stringOf(*root);
        if (!text) {
            return std::nullopt;
        }
        return KeyedArchiveString{std::move(*text), KeyedArchivePass::topLevelString};
    }
    return std::nullopt;
}

} // namespace

std::optional<KeyedArchiveString> decodeKeyedArchiveString(std::span<const std::uint8_t> bytes) {
    try {
        return decode(bytes);
    } catch (const Malformed&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace quillobrandt
