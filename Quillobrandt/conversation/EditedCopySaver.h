#pragma once

#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "Quillobrandt/store/EditedCopyWriter.h"

namespace quillobrandt {

class AppState;

// Runs the saves of edited copies off the GUI thread. One lives as a child of the application state, so a
// conversation view can be closed while its save runs: closing neither waits for the save nor cuts it short. A save
// ends early when the user stops it, and when the program quits (the saver goes with the application state, which
// stops its saves and waits the moment they take to leave nothing behind). Every member on the GUI thread.
class EditedCopySaver final : public QObject {
    Q_OBJECT
public:
    using Writer = std::function<void(const std::filesystem::path& source, const std::filesystem::path& target,
                                      const std::unordered_set<std::int64_t>& ids, const EditedCopyStop& stop)>;
    // Called on the GUI thread with the error text, or nullopt when the copy was written or the save was stopped
    // (then `stopped` is true).
    using Done = std::function<void(const std::optional<std::string>& error, bool stopped)>;
    // Setting it stops the save it was handed out for.
    using StopFlag = std::shared_ptr<std::atomic<bool>>;

    // The saver of `state`, made on first use.
    static EditedCopySaver* forState(AppState* state);

    // Writes by DatabaseManager::saveEditedCopy unless tests hand in another writer.
    void setWriter(Writer writer);

    // Checks that the target's folder can be written, then writes the copy; `done` follows on the GUI thread.
    // Returns the flag that stops this save.
    StopFlag start(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::unordered_set<std::int64_t> ids, Done done);

    bool waitForDone(int timeoutMs) { return pool_.waitForDone(timeoutMs); }

    ~EditedCopySaver() override;

private:
    explicit EditedCopySaver(QObject* parent);

    Writer writer_;
    std::vector<std::weak_ptr<std::atomic<bool>>> saves_; // of the saves started, to stop them when quitting
    QThreadPool pool_;                                    // last: waited for first
};

// Why `target` cannot be written, in the user's words ("The copy cannot be written to ..."); nullopt
// when its folder exists and can be written. Says nothing about the source, so a missing folder is
// never reported as a database that cannot be opened.
std::optional<std::string> destinationProblem(const std::filesystem::path& target);

} // namespace quillobrandt
