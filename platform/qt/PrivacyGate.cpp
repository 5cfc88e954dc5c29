#include "platform/qt/PrivacyGate.h"

#include <atomic>

namespace platform {
namespace {

// -1: no override; 0 or 1: the overriding answer.
std::atomic<int> g_gateOverride{-1};

constexpr bool platformHasGate() {
#ifdef __APPLE__
    return true;
#else
    return false;
#endif
}

} // namespace

bool hasFullDiskAccessGate() {
    const int forced = g_gateOverride.load();
    return forced < 0 ? platformHasGate() : forced == 1;
}

void overrideFullDiskAccessGate(std::optional<bool> gate) {
    g_gateOverride.store(gate ? (*gate ? 1 : 0) : -1);
}

} // namespace platform
