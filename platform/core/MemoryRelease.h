#pragma once

namespace platform {

// Hands the allocator's free memory back to the system. Call it after a large structure was really destroyed: the
// C library otherwise keeps the freed pages for later, and a history of a million messages leaves hundreds of MiB
// resident after it has gone. Takes a few milliseconds per hundred MiB: call it off the GUI thread. Does nothing
// where the allocator has no such call.
void releaseFreeMemory();

} // namespace platform
