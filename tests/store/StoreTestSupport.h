#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/store/DatabaseManager.h"

namespace storetest {

// The whole file, to prove that a user's database is byte-for-byte unchanged.
inline std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ProgressEvent {
    std::string message;
    double fraction = 0.0;
    std::optional<std::string> subMessage{};
    std::optional<double> subFraction{};
};

// Collects every progress call of a load.
class ProgressRecorder {
public:
    quillobrandt::DatabaseProgress callback() {
        return [this](const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                      std::optional<double> subFraction) {
            events.push_back({message, fraction, subMessage, subFraction});
        };
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const auto& event : events) {
            result.push_back(event.message);
        }
        return result;
    }
    std::vector<ProgressEvent> subProgress() const {
        std::vector<ProgressEvent> result;
        for (const auto& event : events) {
            if (event.subMessage) {
                result.push_back(event);
            }
        }
        return result;
    }
    std::vector<ProgressEvent> events;
};

// Loads a database with a fresh manager, as every caller does.
inline std::vector<quillobrandt::Conversation> load(const std::filesystem::path& file,
                                                    const quillobrandt::DatabaseProgress& progress = {}) {
    quillobrandt::DatabaseManager manager;
    return manager.openDatabase(file, std::nullopt, progress);
}

inline const quillobrandt::Conversation* findById(const std::vector<quillobrandt::Conversation>& conversations,
                                                  const std::string& id) {
    for (const auto& conversation : conversations) {
        if (conversation.id == id) {
            return &conversation;
        }
    }
    return nullptr;
}

} // namespace storetest
