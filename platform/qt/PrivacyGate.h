#pragma once

#include <optional>

namespace platform {

// Whether the operating system keeps the Mac's Messages folder behind a Full Disk Access gate.
// Linux has no such gate: false, unless a test has overridden it.
bool hasFullDiskAccessGate();

// For tests: pretend the gate exists (true) or not (false); nullopt restores the platform's answer.
void overrideFullDiskAccessGate(std::optional<bool> gate);

} // namespace platform
