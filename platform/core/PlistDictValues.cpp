#include "platform/core/PlistDictValues.h"

#include <cstdlib>

namespace platform {

std::vector<PlistNode> dictionaryValues(PlistNode dictionary) {
    std::vector<PlistNode> values;
    if (!dictionary.isDict()) {
        return values;
    }
    values.reserve(dictionary.size());
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dictionary.raw(), &iter);
    for (;;) {
        plist_t value = nullptr;
        plist_dict_next_item(dictionary.raw(), iter, nullptr, &value); // no key: see the header
        if (value == nullptr) {
            break;
        }
        values.emplace_back(value);
    }
    std::free(iter);
    return values;
}

} // namespace platform
