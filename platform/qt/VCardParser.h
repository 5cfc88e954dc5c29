#pragma once

#include <string_view>
#include <vector>

#include "platform/qt/ContactStore.h"

namespace platform {

// Reads every card of a vCard text (versions 2.1, 3.0 and 4.0): folded lines, quoted-printable values,
// group prefixes ("item1.TEL"), Latin-1 charsets, "tel:" URIs. Given and family name come from `N`,
// numbers from `TEL`. Malformed lines are skipped; a card cut off by the end of the text still counts.
std::vector<ContactRecord> parseVCards(std::string_view text);

} // namespace platform
