#include "Corvantesk/analytics/SessionManager.h"

#include "Corvantesk/core/OptionLimits.h"
#include "Corvantesk/core/Storage.h"
#include "platform/core/Uuid.h"

namespace corvantesk {
namespace {

constexpr double kDefaultTimeout = 1800.0;

std::chrono::steady_clock::duration secondsToSteady(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

SessionManager::SessionManager(Storage& storage, double sessionTimeout, SessionClock clock, ChangeObserver onChange)
    : storage_(storage), timeout_(effectiveInterval(sessionTimeout, kDefaultTimeout)), clock_(std::move(clock)),
      onChange_(std::move(onChange)) {
    std::unique_lock lock(mutex_);
    const bool newLaunch = storage_.isNewLaunch();
    if (!newLaunch) {
        auto id = storage_.sessionId();
        auto start = storage_.sessionStart();
        auto last = storage_.lastActivity();
        if (id && start && last) {
            sessionId_ = *id;
            sessionStart_ = *start;
            lastActivity_ = *last;
            // Carry the stored idle time and age over to the monotonic clock.
            const auto wallNow = clock_.wallNow();
            const auto monoNow = clock_.monotonicNow();
            monotonicLastActivity_ = monoNow - secondsToSteady(wallNow.unixSeconds() - last->unixSeconds());
            monotonicStart_ = monoNow - secondsToSteady(wallNow.unixSeconds() - start->unixSeconds());
            const std::string current = sessionId_; // the stored launch id is this process's already
            lock.unlock();
            notify(current);
            return;
        }
    }
    startFreshLocked(true); // the launch id goes with the new session: one change of the settings file
    const std::string current = sessionId_;
    lock.unlock();
    notify(current);
}

std::string SessionManager::sessionId() {
    std::unique_lock lock(mutex_);
    const bool changed = checkTimeoutLocked();
    std::string id = sessionId_;
    lock.unlock();
    if (changed) {
        notify(id);
    }
    return id;
}

std::string SessionManager::touch() {
    std::unique_lock lock(mutex_);
    const bool changed = checkTimeoutLocked();
    lastActivity_ = clock_.wallNow();
    monotonicLastActivity_ = clock_.monotonicNow();
    activityUnsaved_ = true;
    std::string id = sessionId_;
    lock.unlock();
    if (changed) {
        notify(id);
    }
    return id;
}

std::chrono::steady_clock::time_point SessionManager::persistActivityIfDue() {
    std::lock_guard lock(mutex_);
    if (!activityUnsaved_) {
        return std::chrono::steady_clock::time_point::max();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastActivityStore_ < kActivityStoreInterval) {
        return lastActivityStore_ + kActivityStoreInterval;
    }
    storage_.setLastActivity(lastActivity_); // in memory; Storage's own thread writes the file
    activityUnsaved_ = false;
    lastActivityStore_ = now;
    return std::chrono::steady_clock::time_point::max();
}

void SessionManager::persistActivity() {
    std::lock_guard lock(mutex_);
    if (activityUnsaved_) {
        storage_.setLastActivity(lastActivity_);
        activityUnsaved_ = false;
        lastActivityStore_ = std::chrono::steady_clock::now();
    }
}

std::string SessionManager::startNewSession() {
    std::unique_lock lock(mutex_);
    startFreshLocked();
    std::string id = sessionId_;
    lock.unlock();
    notify(id);
    return id;
}

void SessionManager::setSession(const std::string& id) {
    std::unique_lock lock(mutex_);
    sessionId_ = id;
    lastActivity_ = clock_.wallNow();
    monotonicLastActivity_ = clock_.monotonicNow();
    persistLocked();
    lock.unlock();
    notify(id);
}

platform::AbsoluteTime SessionManager::sessionStart() const {
    std::lock_guard lock(mutex_);
    return sessionStart_;
}

double SessionManager::sessionDuration() const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration<double>(clock_.monotonicNow() - monotonicStart_).count();
}

bool SessionManager::isSessionExpired() const {
    std::lock_guard lock(mutex_);
    return idleSecondsLocked() > timeout_;
}

double SessionManager::idleSecondsLocked() const {
    return std::chrono::duration<double>(clock_.monotonicNow() - monotonicLastActivity_).count();
}

bool SessionManager::checkTimeoutLocked() {
    if (idleSecondsLocked() > timeout_) {
        startFreshLocked();
        return true;
    }
    return false;
}

void SessionManager::startFreshLocked(bool withLaunchId) {
    sessionId_ = platform::makeUuidString();
    sessionStart_ = clock_.wallNow();
    lastActivity_ = sessionStart_;
    monotonicStart_ = clock_.monotonicNow();
    monotonicLastActivity_ = monotonicStart_;
    persistLocked(withLaunchId);
}

void SessionManager::persistLocked(bool withLaunchId) {
    storage_.storeSession(sessionId_, sessionStart_, lastActivity_, withLaunchId);
    activityUnsaved_ = false;
    lastActivityStore_ = std::chrono::steady_clock::now();
}

void SessionManager::notify(const std::string& id) const {
    if (onChange_) {
        onChange_(id);
    }
}

} // namespace corvantesk
