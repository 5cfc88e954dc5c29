#include "platform/core/BinaryPlistLimits.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kMagicSize = 8; // "bplist00"
constexpr std::size_t kTrailerSize = 32;
constexpr std::uint64_t kNodeCost = 128; // roughly what one libplist node costs in memory, in bytes

std::optional<std::uint64_t> readBigEndian(const std::uint8_t* bytes, std::size_t end, std::uint64_t at,
                                           std::size_t width) {
    if (width == 0 || width > 8 || at > end || width > end - at) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | bytes[at + i];
    }
    return value;
}

struct Layout {
    const std::uint8_t* bytes = nullptr;
    std::size_t objectsEnd = 0; // objects lie in [kMagicSize, objectsEnd)
    std::size_t offsetSize = 0;
    std::size_t referenceSize = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t tableOffset = 0;
};

struct ObjectShape {
    std::uint64_t ownCost = kNodeCost;
    std::uint64_t referencesAt = 0;
    std::uint64_t referenceCount = 0;
};

std::optional<ObjectShape> shapeOf(const Layout& layout, std::uint64_t index) {
    const auto offset = readBigEndian(layout.bytes, layout.objectsEnd + kTrailerSize,
                                      layout.tableOffset + index * layout.offsetSize, layout.offsetSize);
    if (!offset || *offset < kMagicSize || *offset >= layout.objectsEnd) {
        return std::nullopt;
    }
    const std::uint64_t at = *offset;
    const std::uint8_t marker = layout.bytes[at];
    const unsigned type = marker >> 4;
    std::uint64_t count = marker & 0x0F;
    std::uint64_t header = 1;
    const bool counted = type >= 0x4 && type != 0x8 && type != 0x9; // data, strings and containers
    if (counted && count == 0x0F) {                                 // the count follows as an integer object
        if (at + 1 >= layout.objectsEnd || (layout.bytes[at + 1] >> 4) != 0x1) {
            return std::nullopt;
        }
        const std::size_t width = std::size_t{1} << (layout.bytes[at + 1] & 0x0F);
        const auto value = readBigEndian(layout.bytes, layout.objectsEnd, at + 2, width);
        if (!value) {
            return std::nullopt;
        }
        count = *value;
        header = 2 + width;
    }
    if (counted && count > layout.objectsEnd) {
        return std::nullopt; // more bytes or references than the whole file holds
    }
    ObjectShape shape;
    switch (type) {
    case 0x4: // data
    case 0x5: // ASCII string
    case 0x7: // UTF-8 string
        shape.ownCost += count;
        break;
    case 0x6:                       // UTF-16 string, held as UTF-8 by libplist
        shape.ownCost += 3 * count; // count is below the file size here, so this cannot overflow
        break;
    case 0xA: // array
    case 0xB: // ordered set
    case 0xC: // set
        shape.referenceCount = count;
        break;
    case 0xD: // dictionary: keys, then values
        shape.referenceCount = 2 * count;
        break;
    default:
        break;
    }
    shape.referencesAt = at + header;
    if (shape.referencesAt > layout.objectsEnd ||
        shape.referenceCount > (layout.objectsEnd - shape.referencesAt) / layout.referenceSize) {
        return std::nullopt;
    }
    return shape;
}

struct Frame {
    std::uint64_t index;
    ObjectShape shape;
    std::uint64_t nextReference = 0;
    std::uint64_t cost = 0;
    std::size_t childDepth = 0;
};

} // namespace

bool binaryPlistWithinLimits(const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size < kMagicSize + kTrailerSize) {
        return false;
    }
    Layout layout;
    layout.bytes = bytes;
    layout.objectsEnd = size - kTrailerSize;
    const std::uint8_t* trailer = bytes + layout.objectsEnd;
    layout.offsetSize = trailer[6];
    layout.referenceSize = trailer[7];
    layout.objectCount = *readBigEndian(trailer, kTrailerSize, 8, 8);
    const std::uint64_t top = *readBigEndian(trailer, kTrailerSize, 16, 8);
    layout.tableOffset = *readBigEndian(trailer, kTrailerSize, 24, 8);
    if (layout.offsetSize == 0 || layout.offsetSize > 8 || layout.referenceSize == 0 || layout.referenceSize > 8 ||
        layout.objectCount == 0 || layout.objectCount > size || top >= layout.objectCount ||
        layout.tableOffset < kMagicSize || layout.tableOffset > layout.objectsEnd ||
        layout.objectCount > (layout.objectsEnd - layout.tableOffset) / layout.offsetSize) {
        return false;
    }

    // What the expanded tree may cost: generous for any real list (each reference costs at least one byte of
    // input and one node), far below what a list whose references fan out again and again would need.
    const std::uint64_t limit = 256 * static_cast<std::uint64_t>(size) + (std::uint64_t{64} << 20);
    enum : std::uint8_t { unseen, inProgress, measured };
    std::vector<std::uint8_t> state(static_cast<std::size_t>(layout.objectCount), unseen);
    std::vector<std::uint64_t> cost(static_cast<std::size_t>(layout.objectCount), 0);
    std::vector<std::uint16_t> depth(static_cast<std::size_t>(layout.objectCount), 0);

    // Depth-first without recursion, each object measured once and its cost reused wherever it is referenced.
    std::vector<Frame> path;
    const auto topShape = shapeOf(layout, top);
    if (!topShape) {
        return false;
    }
    state[top] = inProgress;
    path.push_back(Frame{top, *topShape, 0, topShape->ownCost, 0});
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.nextReference < frame.shape.referenceCount) {
            const auto child = readBigEndian(bytes, layout.objectsEnd,
                                             frame.shape.referencesAt + frame.nextReference * layout.referenceSize,
                                             layout.referenceSize);
            ++frame.nextReference;
            if (!child || *child >= layout.objectCount || state[*child] == inProgress) {
                return false; // a reference outside the table, or a cycle
            }
            if (state[*child] == measured) {
                frame.cost = std::min(frame.cost + cost[*child], limit + 1);
                frame.childDepth = std::max<std::size_t>(frame.childDepth, depth[*child]);
                if (frame.cost > limit) {
                    return false;
                }
                continue;
            }
            if (path.size() >= kMaxBinaryPlistDepth) {
                return false;
            }
            const auto shape = shapeOf(layout, *child);
            if (!shape) {
                return false;
            }
            state[*child] = inProgress;
            path.push_back(Frame{*child, *shape, 0, shape->ownCost, 0});
            continue;
        }
        const std::size_t ownDepth = frame.childDepth + 1;
        if (ownDepth > kMaxBinaryPlistDepth) {
            return false;
        }
        state[frame.index] = measured;
        cost[frame.index] = frame.cost;
        depth[frame.index] = static_cast<std::uint16_t>(ownDepth);
        const std::uint64_t finishedCost = frame.cost;
        path.pop_back();
        if (!path.empty()) {
            Frame& parent = path.back();
            parent.cost = std::min(parent.cost + finishedCost, limit + 1);
            parent.childDepth = std::max(parent.childDepth, ownDepth);
            if (parent.cost > limit) {
                return false;
            }
        }
    }
    return cost[top] <= limit;
}

} // namespace platform
