#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "Corvantesk/analytics/SessionClock.h"
#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

class Storage;

// Owns the analytics session id: a random id that lasts while the user keeps using the program and is
// replaced after an idle spell longer than the timeout. Mirrors id, start and last activity in the user
// defaults ("corvantesk_session_id", "corvantesk_session_start", "corvantesk_last_activity", seconds since
// 1970). A session never outlives its process: only a second manager in the same process takes up the
// stored session.
//
// touch() keeps the last activity in memory only, so a tracking call does no input or output; the analytics
// queue's writer thread stores it through persistActivityIfDue() at most every few seconds, and a new or rotated
// session is stored at once, its three keys (with the launch id, for the first session of a process) as one
// change. Storing only hands the values to Storage, whose own thread writes the file: no member waits for the
// disk, and none holds the lock while the file is written.
//
// Thread-safe: every member holds the manager's lock for its whole run. The change observer is called after the
// lock is released.
class SessionManager {
public:
    using ChangeObserver = std::function<void(const std::string& sessionId)>;

    // A timeout that is not finite or not positive falls back to 1800 s; it is capped at one day.
    SessionManager(Storage& storage, double sessionTimeout, SessionClock clock = SessionClock::system(),
                   ChangeObserver onChange = {});

    // Rotates when idle too long, then returns the id.
    std::string sessionId();
    // Rotates when idle too long, then records activity now (in memory). Returns the id, for the event that
    // touched it.
    std::string touch();
    // Stores the last activity when it changed and the previous store is at least kActivityStoreInterval old.
    // Returns when to call again: time_point::max() when nothing waits to be stored.
    std::chrono::steady_clock::time_point persistActivityIfDue();
    // Stores the last activity now if it changed (on stopping).
    void persistActivity();

    static constexpr std::chrono::seconds kActivityStoreInterval{5};
    std::string startNewSession();
    // Takes the given id; the start time stays.
    void setSession(const std::string& id);

    platform::AbsoluteTime sessionStart() const;
    // Seconds since the session started, by the monotonic clock.
    double sessionDuration() const;
    // Idle longer than the timeout; changes nothing.
    bool isSessionExpired() const;
    double sessionTimeout() const { return timeout_; }

private:
    // Each returns true when the id changed; the caller holds the lock.
    bool checkTimeoutLocked();
    void startFreshLocked(bool withLaunchId = false);
    void persistLocked(bool withLaunchId = false);
    void notify(const std::string& id) const;
    double idleSecondsLocked() const;

    Storage& storage_;
    const double timeout_;
    const SessionClock clock_;
    const ChangeObserver onChange_;
    mutable std::mutex mutex_;
    std::string sessionId_;
    platform::AbsoluteTime sessionStart_;
    platform::AbsoluteTime lastActivity_;
    std::chrono::steady_clock::time_point monotonicStart_;
    std::chrono::steady_clock::time_point monotonicLastActivity_;
    bool activityUnsaved_ = false;
    std::chrono::steady_clock::time_point lastActivityStore_{}; // real time, for the store's pace
};

} // namespace corvantesk
