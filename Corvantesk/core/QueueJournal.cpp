#include "Corvantesk/core/QueueJournal.h"

#include <algorithm>
#include <cstdio>

namespace corvantesk::queue_journal {
void SnapshotHash::add(std::string_view bytes) {
    for (const unsigned char c : bytes) {
        value_ = (value_ ^ c) * 0x100000001b3ULL;
    }
}

std::string SnapshotHash::text() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value_));
    return text;
}

std::string hashText(std::string_view bytes) {
    SnapshotHash hash;
    hash.add(bytes);
    return hash.text();
}

std::string header(std::uint64_t snapshotBytes, std::string_view snapshotHash, std::uint64_t generation) {
    return R"({"journal":{"snapshotBytes":)" + std::to_string(snapshotBytes) + R"(,"snapshotHash":")" +
           std::string(snapshotHash) + R"(","generation":)" + std::to_string(generation) + "}}\n";
}

std::optional<Header> readHeader(std::string_view journalText) {
    const std::size_t firstEnd = journalText.find('\n');
    if (firstEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const auto first = nlohmann::json::parse(journalText.substr(0, firstEnd), nullptr, false);
    const auto journal = first.is_object() ? first.find("journal") : first.end();
    if (journal == first.end() || !journal->is_object()) {
        return std::nullopt;
    }
    const auto bytes = journal->find("snapshotBytes");
    const auto hash = journal->find("snapshotHash");
    const auto generation = journal->find("generation");
    if (bytes == journal->end() || !bytes->is_number_unsigned() || hash == journal->end() || !hash->is_string()) {
        return std::nullopt;
    }
    Header header;
    header.snapshotBytes = bytes->get<std::uint64_t>();
    header.snapshotHash = hash->get<std::string>();
    if (generation != journal->end() && generation->is_number_unsigned()) {
        header.generation = generation->get<std::uint64_t>();
    }
    return header;
}

bool looksLikeJournal(std::string_view journalText) {
    const std::size_t firstEnd = journalText.find('\n');
    if (firstEnd == std::string_view::npos) {
        return journalText.empty(); // cut short while it was being started
    }
    const auto first = nlohmann::json::parse(journalText.substr(0, firstEnd), nullptr, false);
    return first.is_object() && first.contains("journal");
}

std::string addRecord(std::string_view encodedEvent) {
    std::string line;
    line.reserve(encodedEvent.size() + 9);
    line += R"({"add":)";
    line += encodedEvent;
    line += "}\n";
    return line;
}

std::string dropRecord(std::size_t position, std::size_t count) {
    return R"({"drop":[)" + std::to_string(position) + "," + std::to_string(count) + "]}\n";
}

std::size_t replay(nlohmann::json& events, std::string_view journalText) {
    std::size_t skipped = 0;
    std::size_t at = journalText.find('\n');
    at = at == std::string_view::npos ? journalText.size() : at + 1;
    while (at < journalText.size()) {
        const std::size_t end = journalText.find('\n', at);
        if (end == std::string_view::npos) {
            ++skipped; // cut short by a kill
            break;
        }
        const auto record = nlohmann::json::parse(journalText.substr(at, end - at), nullptr, false);
        at = end + 1;
        const auto add = record.is_object() ? record.find("add") : record.end();
        const auto drop = record.is_object() ? record.find("drop") : record.end();
        if (add != record.end()) {
            events.push_back(*add);
        } else if (drop != record.end() && drop->is_array() && drop->size() == 2 && (*drop)[0].is_number_unsigned() &&
                   (*drop)[1].is_number_unsigned()) {
            const std::size_t size = events.size();
            const auto position = std::min<std::uint64_t>((*drop)[0].get<std::uint64_t>(), size);
            const auto count = std::min<std::uint64_t>((*drop)[1].get<std::uint64_t>(), size - position);
            events.erase(events.begin() + static_cast<std::ptrdiff_t>(position),
                         events.begin() + static_cast<std::ptrdiff_t>(position + count));
        } else {
            ++skipped;
        }
    }
    return skipped;
}

} // namespace corvantesk::queue_journal
