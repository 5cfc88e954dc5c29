#include "platform/core/Plist.h"

#include "platform/core/BinaryPlistLimits.h"
#include "platform/core/PlistValues.h"
#include "platform/core/XmlPlistLimits.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace platform {

namespace {

// The text of a dictionary key node as lookups see it. libplist's own key getter asserts (and so aborts the
// process) when a key holds a zero byte, which an untrusted binary property list can contain, and there is no
// other call that hands out a key's text. Its XML writer does write the key's bytes, escaping only '<', '>' and
// '&', so the key is read from there. Lookups compare keys as C strings, so the text ends at a zero byte.
std::string keyText(plist_t keyNode) {
    if (keyNode == nullptr || plist_get_node_type(keyNode) != PLIST_KEY) {
        return std::string();
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(keyNode, &xml, &length);
    if (xml == nullptr) {
        return std::string();
    }
    const std::string_view document(xml, length);
    constexpr std::string_view open = "<key>";
    constexpr std::string_view close = "</key>";
    const auto begin = document.find(open);
    const auto end = document.rfind(close);
    std::string text;
    if (begin != std::string_view::npos && end != std::string_view::npos && end >= begin + open.size()) {
        const auto escaped = document.substr(begin + open.size(), end - begin - open.size());
        for (std::size_t i = 0; i < escaped.size() && escaped[i] != '\0'; ++i) {
            if (escaped[i] != '&') {
                text += escaped[i];
                continue;
            }
            const auto entityEnd = escaped.find(';', i);
            const auto entity = escaped.substr(i, entityEnd == std::string_view::npos ? 1 : entityEnd - i + 1);
            if (entity == "&lt;") {
                text += '<';
            } else if (entity == "&gt;") {
                text += '>';
            } else if (entity == "&amp;") {
                text += '&';
            } else if (entity == "&quot;") {
                text += '"';
            } else if (entity == "&apos;") {
                text += '\'';
            } else {
                text += '&';
                continue;
            }
            i += entity.size() - 1;
        }
    }
    std::free(xml);
    return text;
}

} // namespace

std::optional<std::string> PlistNode::string() const {
    if (type() != PLIST_STRING && type() != PLIST_KEY) {
        return std::nullopt;
    }
    if (type() == PLIST_STRING) {
        // Not plist_get_string_val: it asserts (and aborts the process) on a string holding a zero byte,
        // which any untrusted binary property list can contain.
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node_, &length);
        return text != nullptr ? std::string(text, static_cast<std::size_t>(length)) : std::string();
    }
    return keyText(node_);
}

std::optional<std::uint64_t> PlistNode::unsignedInteger() const {
    if (type() != PLIST_UINT) {
        return std::nullopt;
    }
    uint64_t value = 0;
    plist_get_uint_val(node_, &value);
    return value;
}

std::optional<std::int64_t> PlistNode::integer() const {
    auto value = unsignedInteger();
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*value);
}

std::optional<double> PlistNode::real() const {
    if (type() != PLIST_REAL) {
        return std::nullopt;
    }
    double value = 0;
    plist_get_real_val(node_, &value);
    return value;
}

std::optional<bool> PlistNode::boolean() const {
    if (type() != PLIST_BOOLEAN) {
        return std::nullopt;
    }
    uint8_t value = 0;
    plist_get_bool_val(node_, &value);
    return value != 0;
}

std::optional<std::vector<std::uint8_t>> PlistNode::data() const {
    if (type() != PLIST_DATA) {
        return std::nullopt;
    }
    char* value = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node_, &value, &length);
    std::vector<std::uint8_t> result;
    if (value != nullptr) {
        result.assign(reinterpret_cast<std::uint8_t*>(value), reinterpret_cast<std::uint8_t*>(value) + length);
        std::free(value);
    }
    return result;
}

std::optional<std::uint64_t> PlistNode::uid() const {
    if (type() != PLIST_UID) {
        return std::nullopt;
    }
    uint64_t value = 0;
    plist_get_uid_val(node_, &value);
    return value;
}

PlistNode PlistNode::get(const std::string& key) const {
    if (!isDict()) {
        return {};
    }
    return PlistNode(plist_dict_get_item(node_, key.c_str()));
}

std::vector<std::string> PlistNode::keys() const {
    std::vector<std::string> result;
    for (const PlistNode& value : dictionaryValues(*this)) { // no key text here: that getter can abort
        result.push_back(keyText(plist_dict_item_get_key(value.raw())));
    }
    return result;
}

PlistNode PlistNode::at(std::size_t index) const {
    if (!isArray() || index >= size()) {
        return {};
    }
    return PlistNode(plist_array_get_item(node_, static_cast<uint32_t>(index)));
}

std::size_t PlistNode::size() const {
    if (isArray()) {
        return plist_array_get_size(node_);
    }
    if (isDict()) {
        return plist_dict_get_size(node_);
    }
    return 0;
}

void PlistNode::set(const std::string& key, Plist child) {
    if (isDict() && child.valid()) {
        plist_dict_set_item(node_, key.c_str(), child.release());
    }
}

void PlistNode::append(Plist child) {
    if (isArray() && child.valid()) {
        plist_array_append_item(node_, child.release());
    }
}

std::optional<Plist> Plist::parse(const void* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0 || size > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    const char* text = static_cast<const char*>(bytes);
    if (size >= 8 && std::memcmp(text, "bplist00", 8) == 0) {
        if (!binaryPlistWithinLimits(static_cast<const std::uint8_t*>(bytes), size)) {
            return std::nullopt;
        }
        plist_from_bin(text, static_cast<uint32_t>(size), &root);
    } else {
        if (!xmlPlistWithinLimits(text, size)) {
            return std::nullopt;
        }
        plist_from_xml(text, static_cast<uint32_t>(size), &root);
    }
    if (root == nullptr) {
        return std::nullopt;
    }
    return Plist(root);
}

Plist Plist::dict() { return Plist(plist_new_dict()); }
Plist Plist::array() { return Plist(plist_new_array()); }
Plist Plist::string(const std::string& value) { return Plist(plist_new_string(value.c_str())); }
Plist Plist::integer(std::int64_t value) { return Plist(plist_new_uint(static_cast<uint64_t>(value))); }
Plist Plist::real(double value) { return Plist(plist_new_real(value)); }
Plist Plist::boolean(bool value) { return Plist(plist_new_bool(value ? 1 : 0)); }
Plist Plist::data(const std::vector<std::uint8_t>& bytes) {
    return Plist(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
Plist Plist::uid(std::uint64_t value) { return Plist(plist_new_uid(value)); }

std::vector<std::uint8_t> Plist::toBinary() const {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root_.get(), &bytes, &length);
    std::vector<std::uint8_t> result;
    if (bytes != nullptr) {
        result.assign(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + length);
        std::free(bytes);
    }
    return result;
}

std::string Plist::toXml() const {
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(root_.get(), &text, &length);
    std::string result;
    if (text != nullptr) {
        result.assign(text, length);
        std::free(text);
    }
    return result;
}

} // namespace platform
