#pragma once

#include <string>

namespace corvantesk {

// A random version-4 UUID in the SDK's upper-case text form, for the ids of recorded events. Drawn from a
// generator of the calling thread, seeded once from the system's random source: a tracking call makes no
// system call for it (the system's source costs a call every time). Any thread.
std::string makeEventId();

} // namespace corvantesk
