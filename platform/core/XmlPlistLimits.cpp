#include "platform/core/XmlPlistLimits.h"

#include <string_view>

namespace platform {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// The index just past the '>' that ends the markup opened at `from`, skipping quoted text and, for a
// declaration, its bracketed internal subset; npos when the markup never ends.
std::size_t endOfMarkup(std::string_view text, std::size_t from) {
    char quote = 0;
    int brackets = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++brackets;
        } else if (c == ']' && brackets > 0) {
            --brackets;
        } else if (c == '>' && brackets == 0) {
            return i + 1;
        }
    }
    return npos;
}

// The index just past `terminator` at or after `from`; npos when it is missing.
std::size_t past(std::string_view text, std::size_t from, std::string_view terminator) {
    const auto at = text.find(terminator, from);
    return at == npos ? npos : at + terminator.size();
}

} // namespace

bool xmlPlistWithinLimits(const char* data, std::size_t size) {
    if (data == nullptr || size > kMaxXmlPlistSize) {
        return false;
    }
    const std::string_view text(data, size);
    std::size_t depth = 0;
    std::size_t i = text.find('<');
    while (i != npos) {
        const auto rest = text.substr(i);
        std::size_t next = npos;
        if (rest.starts_with("<!--")) {
            next = past(text, i + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            next = past(text, i + 9, "]]>");
        } else if (rest.starts_with("<?")) {
            next = past(text, i + 2, "?>");
        } else if (rest.starts_with("<!")) {
            next = endOfMarkup(text, i + 2);
        } else if (rest.starts_with("</")) {
            next = endOfMarkup(text, i + 2);
            depth = depth > 0 ? depth - 1 : 0;
        } else {
            next = endOfMarkup(text, i + 1);
            const bool selfClosing = next != npos && text[next - 2] == '/';
            if (!selfClosing && ++depth > kMaxXmlPlistDepth) {
                return false;
            }
        }
        if (next == npos) {
            return false;
        }
        i = text.find('<', next);
    }
    return true;
}

} // namespace platform
