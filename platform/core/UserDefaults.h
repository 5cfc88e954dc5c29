#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

// The user's settings: one JSON object in one file, shared by the application and the SDK.
// Every call is thread-safe. A set, remove or update writes the whole file atomically before it returns; a write
// that fails keeps the value in memory for this run (the setting is simply not persisted). The values' lock is
// never held while the file is written, so a reader never waits for the disk.
// Values are JSON: text, Bool, integer, double, arrays and objects. Bytes ("data") are stored
// as {"$data": "<base64>"} so they round-trip exactly.
class UserDefaults {
public:
    // The process-wide instance at configDir()/Quillobrandt/defaults.json, created on first use.
    static UserDefaults& standard();

    // Opens (or starts) a settings file. A file that cannot be parsed as a JSON object is renamed to
    // "<name>.corrupt-<unix time>" and an empty set of settings begins; nothing throws. An empty path keeps the
    // settings in memory only and never touches the disk.
    explicit UserDefaults(std::filesystem::path file);

    std::optional<nlohmann::json> value(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<double> number(const std::string& key) const; // integers read as doubles too
    std::optional<std::vector<std::uint8_t>> data(const std::string& key) const;
    std::optional<nlohmann::json> array(const std::string& key) const;
    std::optional<nlohmann::json> dictionary(const std::string& key) const;

    void set(const std::string& key, const nlohmann::json& value);
    void setString(const std::string& key, const std::string& value) { set(key, value); }
    void setBool(const std::string& key, bool value) { set(key, value); }
    void setInteger(const std::string& key, std::int64_t value) { set(key, value); }
    void setDouble(const std::string& key, double value) { set(key, value); }
    void setData(const std::string& key, const std::vector<std::uint8_t>& bytes);
    void remove(const std::string& key);

    // Several keys in one write: a value sets its key, nullopt removes it.
    using Changes = std::vector<std::pair<std::string, std::optional<nlohmann::json>>>;
    void update(const Changes& changes);
    // The same in memory only: readers see the changes at once, the file gets them with the next writePending()
    // (or the next set, remove or update). For callers that must not wait for the disk; another thread writes.
    void updateInMemory(const Changes& changes);
    // Writes the file when a change is not on it yet. False when that write failed.
    bool writePending();

    // Every key currently stored, sorted.
    std::vector<std::string> keys() const;
    const std::filesystem::path& file() const { return file_; }

    // Base64 helpers used for "data" values (standard alphabet, padded).
    static std::string base64Encode(const std::vector<std::uint8_t>& bytes);
    static std::optional<std::vector<std::uint8_t>> base64Decode(const std::string& text);

private:
    bool applyLocked(const Changes& changes);
    // Takes the file's new text under `lock` (held on mutex_), releases it, then writes.
    bool writeReleasing(std::unique_lock<std::mutex>& lock);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();
    std::uint64_t version_ = 0;        // counts changes; guarded by mutex_
    std::uint64_t takenVersion_ = 0;   // the newest version taken for writing; guarded by mutex_
    std::mutex writeMutex_;            // one write at a time
    std::uint64_t writtenVersion_ = 0; // guarded by writeMutex_
};

} // namespace platform
