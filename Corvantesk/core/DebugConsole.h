#pragma once

#include <string>
#include <string_view>

#include "platform/core/Console.h"

namespace corvantesk {

// Prints one SDK console line ("[Corvantesk] " + text) when the debug option is on. Any thread.
inline void debugLine(bool debug, std::string_view text) {
    if (debug) {
        std::string line = "[Corvantesk] ";
        line.append(text);
        platform::consoleLine(line);
    }
}

} // namespace corvantesk
