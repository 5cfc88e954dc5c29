#include "platform/core/PlistArrayValues.h"

#include <cstdlib>

namespace platform {

std::vector<PlistNode> arrayValues(PlistNode array) {
    std::vector<PlistNode> values;
    if (!array.isArray()) {
        return values;
    }
    values.reserve(array.size());
    plist_array_iter iter = nullptr;
    plist_array_new_iter(array.raw(), &iter);
    if (iter == nullptr) {
        return values;
    }
    for (;;) {
        plist_t value = nullptr;
        plist_array_next_item(array.raw(), iter, &value);
        if (value == nullptr) {
            break;
        }
        values.emplace_back(value);
    }
    std::free(iter);
    return values;
}

} // namespace platform
