#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <plist/plist.h>

namespace platform {

class Plist;

// A non-owning view of one node inside a Plist. Valid while the owning Plist lives.
// Every typed read checks the node's type and gives nullopt on a mismatch, so untrusted
// property lists are read without assumptions.
class PlistNode {
public:
    PlistNode() = default;
    explicit PlistNode(plist_t node) : node_(node) {}

    bool valid() const { return node_ != nullptr; }
    plist_type type() const { return node_ != nullptr ? plist_get_node_type(node_) : PLIST_NONE; }
    bool isDict() const { return type() == PLIST_DICT; }
    bool isArray() const { return type() == PLIST_ARRAY; }
    bool isString() const { return type() == PLIST_STRING; }

    std::optional<std::string> string() const;
    // Integers are stored unsigned by libplist; this reinterprets as signed two's complement.
    std::optional<std::int64_t> integer() const;
    std::optional<std::uint64_t> unsignedInteger() const;
    std::optional<double> real() const;
    std::optional<bool> boolean() const;
    std::optional<std::vector<std::uint8_t>> data() const;
    std::optional<std::uint64_t> uid() const;

    // Dictionary access: an invalid node when absent or when this is not a dictionary.
    PlistNode get(const std::string& key) const;
    // The keys in the dictionary's order, each as get() matches it: a key holding a zero byte ends there.
    // Safe on untrusted property lists.
    std::vector<std::string> keys() const;
    // Array access: an invalid node when out of range or when this is not an array.
    PlistNode at(std::size_t index) const;
    // Element count of an array or dictionary; 0 otherwise.
    std::size_t size() const;

    // Building: take ownership of `child` and put it under `key` / at the end.
    void set(const std::string& key, Plist child);
    void append(Plist child);

    plist_t raw() const { return node_; }

private:
    plist_t node_ = nullptr;
};

// Owns a property-list tree.
class Plist {
public:
    Plist() = default;
    explicit Plist(plist_t owned) : root_(owned) {}

    // Parses a binary or XML property list. nullopt when the bytes are not one.
    static std::optional<Plist> parse(const void* bytes, std::size_t size);
    static std::optional<Plist> parse(const std::vector<std::uint8_t>& bytes) {
        return parse(bytes.data(), bytes.size());
    }
    static std::optional<Plist> parse(const std::string& bytes) { return parse(bytes.data(), bytes.size()); }

    static Plist dict();
    static Plist array();
    static Plist string(const std::string& value);
    static Plist integer(std::int64_t value);
    static Plist real(double value);
    static Plist boolean(bool value);
    static Plist data(const std::vector<std::uint8_t>& bytes);
    static Plist uid(std::uint64_t value);

    PlistNode root() const { return PlistNode(root_.get()); }
    bool valid() const { return root_ != nullptr; }

    std::vector<std::uint8_t> toBinary() const;
    std::string toXml() const;

    // Gives up ownership (for handing the node to a parent).
    plist_t release() { return root_.release(); }

private:
    struct Freer {
        void operator()(plist_t node) const { plist_free(node); }
    };
    std::unique_ptr<void, Freer> root_;
};

} // namespace platform
