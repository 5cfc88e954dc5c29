// The contact cache half of PermissionManager.
#include <QChar>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "Quillobrandt/app/PermissionManager.h"
#include "platform/core/Console.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {
namespace {

constexpr qsizetype kKeyLength = 10;

using Entries = std::unordered_map<std::string, std::string>;

struct ContactCache {
    std::mutex entriesMutex; // guards entries and generation
    Entries entries;
    std::uint64_t generation = 0; // moves on with every reset, so a build begun before it is discarded
    std::atomic<bool> built{false};
    std::mutex buildMutex; // one build at a time; lookups and resets never wait for it
};

// Never destroyed: a worker thread may still look a name up while the process exits.
ContactCache& cache() {
    static auto* instance = new ContactCache;
    return *instance;
}

bool isAuthorized() {
    return PermissionManager::contactsAuthorizationStatus() == platform::ContactAuthorizationStatus::authorized;
}

std::uint64_t currentGeneration() {
    std::lock_guard lock(cache().entriesMutex);
    return cache().generation;
}

// Stores what a build read (all of it, or the cards before a failure), unless the cache was reset while it
// ran (the Contacts answer changed): those names belong to the old answer.
bool publishBuild(const Entries& entries, std::uint64_t generation, bool complete) {
    std::lock_guard lock(cache().entriesMutex);
    if (generation != cache().generation) {
        return false;
    }
    for (const auto& [key, name] : entries) {
        cache().entries[key] = name;
    }
    cache().built.store(complete);
    return true;
}

std::optional<std::string> readContactCache(const std::string& key) {
    std::lock_guard lock(cache().entriesMutex);
    const auto it = cache().entries.find(key);
    if (it == cache().entries.end()) {
        return std::nullopt;
    }
    return it->second;
}

void cacheContact(Entries& entries, const platform::ContactRecord& contact) {
    const auto name = PermissionManager::displayName(contact);
    if (!name) {
        return;
    }
    for (const std::string& number : contact.phoneNumbers) {
        if (const auto key = PermissionManager::contactKey(number)) {
            entries[*key] = *name;
        }
    }
}

bool isToleratedError(const platform::ContactStoreError& error) {
    return error.domain() == platform::kContactStoreErrorDomain && (error.code() == 1006 || error.code() == 604);
}

} // namespace

std::optional<std::string> PermissionManager::contactKey(const std::string& text) {
    const QList<uint> codePoints = QString::fromStdString(text).toUcs4();
    std::u32string digits;
    for (uint codePoint : codePoints) {
        if (QChar::category(static_cast<char32_t>(codePoint)) == QChar::Number_DecimalDigit) {
            digits.push_back(static_cast<char32_t>(codePoint));
        }
    }
    if (static_cast<qsizetype>(digits.size()) < kKeyLength) {
        return std::nullopt;
    }
    const std::u32string last = digits.substr(digits.size() - kKeyLength);
    return QString::fromUcs4(last.data(), static_cast<qsizetype>(last.size())).toStdString();
}

std::optional<std::string> PermissionManager::displayName(const platform::ContactRecord& contact) {
    const std::string& given = contact.givenName;
    const std::string& family = contact.familyName;
    if (!given.empty() && !family.empty()) {
        return given + " " + family;
    }
    if (!given.empty()) {
        return given;
    }
    if (!family.empty()) {
        return family;
    }
    return std::nullopt;
}

void PermissionManager::buildContactCache() {
    if (!isAuthorized()) {
        return;
    }
    if (cache().built.load()) {
        platform::consoleLine("📇 Contact cache already built, skipping rebuild");
        return;
    }
    std::lock_guard buildLock(cache().buildMutex);
    if (cache().built.load()) { // built by another thread while this one waited
        platform::consoleLine("📇 Contact cache already built, skipping rebuild");
        return;
    }
    platform::consoleLine("🔨 Building contact cache...");
    const std::uint64_t generation = currentGeneration();
    const auto store = platform::contactStore();
    Entries entries;
    const auto visit = [&entries](const platform::ContactRecord& contact) { cacheContact(entries, contact); };
    bool complete = false;
    try {
        store->enumerateContacts(visit);
        complete = true;
    } catch (const platform::ContactStoreError& error) {
        if (isToleratedError(error)) {
            platform::consoleLine("⚠️ Contact cache built with warnings (change history unavailable)");
            complete = true;
        } else {
            platform::consoleLine("❌ Error building contact cache: " + error.description());
        }
    } catch (const std::exception& error) {
        platform::consoleLine(std::string("❌ Error building contact cache: ") + error.what());
    }
    if (!publishBuild(entries, generation, complete)) {
        platform::consoleLine("⏭️ Contact cache was reset while building; this build is discarded");
    }
}

std::optional<std::string> PermissionManager::contactName(const std::string& handle) {
    if (!isAuthorized()) {
        return std::nullopt;
    }
    if (!cache().built.load()) {
        buildContactCache();
    }
    const auto key = contactKey(handle);
    if (!key) {
        return std::nullopt;
    }
    return readContactCache(*key);
}

std::optional<std::string> PermissionManager::cachedContactName(const std::string& handle) {
    if (!isAuthorized() || !cache().built.load()) {
        return std::nullopt;
    }
    const auto key = contactKey(handle);
    if (!key) {
        return std::nullopt;
    }
    return readContactCache(*key);
}

std::size_t PermissionManager::contactCacheCount() {
    std::lock_guard lock(cache().entriesMutex);
    return cache().entries.size();
}

bool PermissionManager::isContactCacheBuilt() {
    return cache().built.load();
}

void PermissionManager::resetContactCache() {
    std::lock_guard lock(cache().entriesMutex);
    ++cache().generation;
    cache().entries.clear();
    cache().built.store(false);
}

} // namespace quillobrandt
