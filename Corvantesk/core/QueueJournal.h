#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvantesk {

// The journal beside a queue file: the changes made since the queue file was last written whole, one JSON object
// a line. The first line names the queue file it follows (its length and a hash of its bytes) and the journal's
// generation, so a journal that follows another state of the file is recognised and ignored. Then {"add":<event>}
// appends an event and {"drop":[position,count]} removes events, positions counted in the events as they stand
// at that line. A line cut short by a kill, or any line that does not read, is skipped.
//
// A queue has two journal files, "corvantesk_offline_<name>.journal" and "<...>.journal2", used in turn: while a
// new queue file is written and flushed to the disk, changes go on into the journal of the file in place, and the
// other journal is started for the new file before the new file takes its place. So either file on disk has a
// journal that follows it. When both follow it (the same bytes), the later generation holds the latest changes.
// Journals written before there were generations read as generation 0.
namespace queue_journal {

struct Header {
    std::uint64_t snapshotBytes = 0;
    std::string snapshotHash;
    std::uint64_t generation = 0;
};

// The hash a header names of a queue file's bytes, taken piece by piece.
class SnapshotHash {
public:
    void add(std::string_view bytes);
    std::string text() const;

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL; // FNV-1a
};
std::string hashText(std::string_view bytes);
std::string header(std::uint64_t snapshotBytes, std::string_view snapshotHash, std::uint64_t generation);
inline std::string header(std::string_view snapshotText, std::uint64_t generation) {
    return header(snapshotText.size(), hashText(snapshotText), generation);
}
// The header of a journal, or nullopt when its first line is missing or is no journal header.
std::optional<Header> readHeader(std::string_view journalText);
// Whether a journal with this header follows the queue file whose text is `snapshotText` (hashed: `snapshotHash`).
inline bool follows(const Header& header, std::string_view snapshotText, std::string_view snapshotHash) {
    return header.snapshotBytes == snapshotText.size() && header.snapshotHash == snapshotHash;
}
// Whether the text begins with a journal's first line, of whatever queue file (an empty text, a journal cut short
// while it was being started, counts as one).
bool looksLikeJournal(std::string_view journalText);

std::string addRecord(std::string_view encodedEvent);
std::string dropRecord(std::size_t position, std::size_t count);
// Applies the records after the first line to `events`. Returns how many records were skipped.
std::size_t replay(nlohmann::json& events, std::string_view journalText);

} // namespace queue_journal
} // namespace corvantesk
