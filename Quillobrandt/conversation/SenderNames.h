#pragma once

#include <string>
#include <vector>

namespace quillobrandt {

// Whether received messages carry their sender's name: in any conversation with two or more other
// participants, on screen and in the PDF alike. `participants` are the other members' handles.
inline bool showsSenderNames(const std::vector<std::string>& participants) {
    return participants.size() >= 2;
}

} // namespace quillobrandt
