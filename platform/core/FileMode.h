#pragma once

namespace platform {

// The permission bits a file the user saves should get: 0666 less the process's umask, as any
// program's "Save" gives. Read without changing the umask, so it is safe from any thread.
unsigned userFileMode();

} // namespace platform
