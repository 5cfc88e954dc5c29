#pragma once

#include <cstddef>
#include <string>

#include "Corvantesk/core/AnyCodable.h"

namespace corvantesk {

// Every queued health event carries the whole trail of breadcrumbs and log lines, so one long text recorded
// once would be repeated in each of the hundreds of events a queue file may hold. Texts are therefore cut
// when they are recorded, at a character boundary. Pure functions: any thread.
inline constexpr std::size_t maxRecordedTextBytes = 256;

std::string limitRecordedText(std::string text);
// Cuts every text value of `values`, nested arrays and objects included.
void limitRecordedValues(AnyMap& values);

} // namespace corvantesk
