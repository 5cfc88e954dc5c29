#include "platform/qt/VCardParser.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

namespace platform {
namespace {

std::string upper(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<std::string_view> physicalLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// Splits at `separator` outside double quotes.
std::vector<std::string_view> splitOutsideQuotes(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == separator && !quoted) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

struct ContentLine {
    std::string name;                // upper case, group removed
    std::vector<std::string> params; // upper case, as written ("TYPE=CELL", "QUOTED-PRINTABLE")
    std::string value;               // raw
};

std::optional<ContentLine> parseContentLine(std::string_view line) {
    bool quoted = false;
    std::size_t colon = std::string_view::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ':' && !quoted) {
            colon = i;
            break;
        }
    }
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    auto head = splitOutsideQuotes(line.substr(0, colon), ';');
    std::string_view name = trim(head.front());
    if (auto dot = name.rfind('.'); dot != std::string_view::npos) {
        name.remove_prefix(dot + 1);
    }
    if (name.empty()) {
        return std::nullopt;
    }
    ContentLine result;
    result.name = upper(name);
    for (std::size_t i = 1; i < head.size(); ++i) {
        result.params.push_back(upper(trim(head[i])));
    }
    result.value = std::string(line.substr(colon + 1));
    return result;
}

bool isQuotedPrintable(const std::vector<std::string>& params) {
    return std::any_of(params.begin(), params.end(), [](const std::string& p) {
        return p == "QUOTED-PRINTABLE" || p == "ENCODING=QUOTED-PRINTABLE";
    });
}

bool isLatin1(const std::vector<std::string>& params) {
    return std::any_of(params.begin(), params.end(), [](const std::string& p) {
        return p == "CHARSET=ISO-8859-1" || p == "CHARSET=LATIN1" || p == "CHARSET=WINDOWS-1252";
    });
}

// True for a quoted-printable line whose value ends in a soft line break.
bool continuesQuotedPrintable(const std::string& line) {
    if (line.empty() || line.back() != '=') {
        return false;
    }
    auto parsed = parseContentLine(line);
    return parsed && isQuotedPrintable(parsed->params);
}

std::vector<std::string> logicalLines(std::string_view text) {
    std::vector<std::string> lines;
    std::optional<std::string> current;
    for (std::string_view line : physicalLines(text)) {
        if (current && continuesQuotedPrintable(*current)) {
            current->pop_back();
            current->append(line);
            continue;
        }
        if (current && !line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            current->append(line.substr(1));
            continue;
        }
        if (current) {
            lines.push_back(std::move(*current));
        }
        current = std::string(line);
    }
    if (current) {
        lines.push_back(std::move(*current));
    }
    return lines;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string decodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string decodedValue(const ContentLine& line) {
    std::string value = isQuotedPrintable(line.params) ? decodeQuotedPrintable(line.value) : line.value;
    return isLatin1(line.params) ? latin1ToUtf8(value) : value;
}

// Structured value components split at unescaped ';', with vCard escapes resolved.
std::vector<std::string> structuredComponents(std::string_view value) {
    std::vector<std::string> components(1);
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            components.back().push_back(next == 'n' || next == 'N' ? '\n' : next);
        } else if (c == ';') {
            components.emplace_back();
        } else {
            components.back().push_back(c);
        }
    }
    return components;
}

std::string phoneNumberText(std::string_view value) {
    value = trim(value);
    if (value.size() >= 4 && upper(value.substr(0, 4)) == "TEL:") {
        value.remove_prefix(4);
    }
    return std::string(trim(value));
}

} // namespace

std::vector<ContactRecord> parseVCards(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::vector<ContactRecord> cards;
    std::optional<ContactRecord> card;
    int nestedDepth = 0; // cards embedded in a card (2.1 AGENT) are not contacts of their own
    for (const std::string& rawLine : logicalLines(text)) {
        auto line = parseContentLine(rawLine);
        if (!line) {
            continue;
        }
        const std::string value = upper(trim(line->value));
        if (line->name == "BEGIN" && value == "VCARD") {
            if (card) {
                ++nestedDepth;
            } else {
                card.emplace();
            }
            continue;
        }
        if (line->name == "END" && value == "VCARD") {
            if (nestedDepth > 0) {
                --nestedDepth;
            } else if (card) {
                cards.push_back(std::move(*card));
                card.reset();
            }
            continue;
        }
        if (!card || nestedDepth > 0) {
            continue;
        }
        if (line->name == "N") {
            const auto components = structuredComponents(decodedValue(*line));
            card->familyName = std::string(trim(components[0]));
            card->givenName = components.size() > 1 ? std::string(trim(components[1])) : std::string();
        } else if (line->name == "TEL") {
            std::string number = phoneNumberText(decodedValue(*line));
            if (!number.empty()) {
                card->phoneNumbers.push_back(std::move(number));
            }
        }
    }
    if (card) {
        cards.push_back(std::move(*card));
    }
    return cards;
}

} // namespace platform
