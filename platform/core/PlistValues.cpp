#include "platform/core/PlistValues.h"

#include <cstdlib>
#include <memory>

namespace platform {
namespace {

// Walks a container with libplist's iterator (a small allocation of its own). Without one there is nothing to
// walk: libplist's next-item calls read through the iterator unchecked.
template <class NewIterator, class NextItem>
std::vector<PlistNode> walkValues(PlistNode container, NewIterator newIterator, NextItem nextItem) {
    std::vector<PlistNode> values;
    values.reserve(container.size());
    void* raw = nullptr;
    newIterator(container.raw(), &raw);
    const std::unique_ptr<void, decltype(&std::free)> iterator(raw, &std::free);
    if (!iterator) {
        return values;
    }
    for (;;) {
        plist_t value = nullptr;
        nextItem(container.raw(), iterator.get(), &value);
        if (value == nullptr) {
            break;
        }
        values.emplace_back(value);
    }
    return values;
}

} // namespace

std::vector<PlistNode> arrayValues(PlistNode array) {
    if (!array.isArray()) {
        return {};
    }
    return walkValues(array, &plist_array_new_iter, &plist_array_next_item);
}

std::vector<PlistNode> dictionaryValues(PlistNode dictionary) {
    if (!dictionary.isDict()) {
        return {};
    }
    // No key: see the header.
    return walkValues(dictionary, &plist_dict_new_iter, [](plist_t node, plist_dict_iter iter, plist_t* value) {
        plist_dict_next_item(node, iter, nullptr, value);
    });
}

} // namespace platform
