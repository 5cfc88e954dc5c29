#pragma once

#include <QString>

#include <map>
#include <set>

#include "tests/gallery/GalleryChecks.h"

namespace gallery {

// Captures that still show a fault while the screen's own change is under way. Each entry names the capture,
// the faults tolerated for now and why; the gallery reports them instead of failing. Remove an entry as soon
// as its screen is mended (the gallery says when a tolerated fault no longer occurs).
struct KnownFault {
    std::set<Fault> faults;
    const char* reason;
};

const std::map<QString, KnownFault>& knownFaults();

} // namespace gallery
