#include "platform/core/UserDefaults.h"

#include <chrono>
#include <cstdio>

#include "platform/core/AtomicFile.h"
#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

constexpr std::size_t kMaxDefaultsFileSize = 32u * 1024 * 1024;
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

UserDefaults& UserDefaults::standard() {
    // Never destroyed: threads of the SDK may still read settings while the process exits.
    static UserDefaults* instance = new UserDefaults(configDir() / "Quillobrandt" / "defaults.json");
    return *instance;
}

UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)) {
    if (file_.empty()) {
        return; // settings held in memory only
    }
    // Writes cut short by a killed process leave their temporary files behind; clear them once here.
    removeStaleTemporaries(file_.has_parent_path() ? file_.parent_path() : fs::path("."), file_.filename().string());
    std::error_code ec;
    if (!fs::exists(file_, ec)) {
        return;
    }
    auto content = readFile(file_, kMaxDefaultsFileSize);
    if (content) {
        auto parsed = nlohmann::json::parse(*content, nullptr, false);
        if (!parsed.is_discarded() && parsed.is_object()) {
            values_ = std::move(parsed);
            return;
        }
    }
    // Unreadable settings must not stop the program; keep the bad file for whoever wants to look at it.
    const auto stamp =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    fs::path aside = file_;
    aside += ".corrupt-" + std::to_string(stamp);
    fs::rename(file_, aside, ec);
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) {
        return std::nullopt;
    }
    return *it;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_string()) {
        return std::nullopt;
    }
    return v->get<std::string>();
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_boolean()) {
        return std::nullopt;
    }
    return v->get<bool>();
}

std::optional<std::int64_t> UserDefaults::integer(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_number_integer()) {
        return std::nullopt;
    }
    return v->get<std::int64_t>();
}

std::optional<double> UserDefaults::number(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_number()) {
        return std::nullopt;
    }
    return v->get<double>();
}

std::optional<std::vector<std::uint8_t>> UserDefaults::data(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_object() || v->size() != 1 || !v->contains("$data") || !(*v)["$data"].is_string()) {
        return std::nullopt;
    }
    return base64Decode((*v)["$data"].get<std::string>());
}

std::optional<nlohmann::json> UserDefaults::array(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_array()) {
        return std::nullopt;
    }
    return v;
}

std::optional<nlohmann::json> UserDefaults::dictionary(const std::string& key) const {
    auto v = value(key);
    if (!v || !v->is_object() || v->contains("$data")) {
        return std::nullopt;
    }
    return v;
}

void UserDefaults::set(const std::string& key, const nlohmann::json& value) {
    update({{key, value}});
}

void UserDefaults::setData(const std::string& key, const std::vector<std::uint8_t>& bytes) {
    set(key, nlohmann::json{{"$data", base64Encode(bytes)}});
}

void UserDefaults::remove(const std::string& key) {
    update({{key, std::nullopt}});
}

bool UserDefaults::applyLocked(const Changes& changes) {
    bool changed = false;
    for (const auto& [key, value] : changes) {
        if (value) {
            values_[key] = *value;
            changed = true;
        } else {
            changed = values_.erase(key) > 0 || changed;
        }
    }
    if (changed) {
        ++version_;
    }
    return changed;
}

void UserDefaults::update(const Changes& changes) {
    std::unique_lock lock(mutex_);
    if (applyLocked(changes)) {
        writeReleasing(lock);
    }
}

void UserDefaults::updateInMemory(const Changes& changes) {
    std::lock_guard lock(mutex_);
    applyLocked(changes);
}

bool UserDefaults::writePending() {
    std::unique_lock lock(mutex_);
    return writeReleasing(lock);
}

std::vector<std::string> UserDefaults::keys() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        result.push_back(it.key());
    }
    return result;
}

bool UserDefaults::writeReleasing(std::unique_lock<std::mutex>& lock) {
    if (file_.empty() || version_ == takenVersion_) {
        lock.unlock();
        return true; // nothing new, or a write of it is already under way
    }
    const std::uint64_t version = version_;
    takenVersion_ = version;
    // dump with replacement: a stray invalid UTF-8 text must not throw out of a setter.
    const std::string text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    lock.unlock();

    std::lock_guard writing(writeMutex_);
    if (version <= writtenVersion_) {
        return true; // a newer text, which holds this change too, is on disk already
    }
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);
    const bool written = writeFileAtomically(file_, text, 0600);
    writtenVersion_ = version;
    return written;
}

std::string UserDefaults::base64Encode(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned n = bytes[i] << 16;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned n = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> UserDefaults::base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    auto decodeChar = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++padding;
            } else if (padding > 0 || (v[k] = decodeChar(c)) < 0) {
                return std::nullopt;
            }
        }
        const unsigned n = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (padding < 2)
            out.push_back(static_cast<std::uint8_t>(n >> 8));
        if (padding < 1)
            out.push_back(static_cast<std::uint8_t>(n));
    }
    return out;
}

} // namespace platform
