#pragma once

#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>

namespace quillobrandt {

class AppState;

// Runs the saves of edited copies off the GUI thread. One lives as a child of the application state,
// so a conversation view can be closed while its save runs: closing never waits for the save, the save
// is never cut short, and quitting waits for it (the copy is finished rather than left half written).
class EditedCopySaver final : public QObject {
    Q_OBJECT
public:
    using Writer = std::function<void(const std::filesystem::path& source, const std::filesystem::path& target,
                                      const std::unordered_set<std::int64_t>& ids)>;
    // Called on the GUI thread with the error text, or nullopt when the copy was written.
    using Done = std::function<void(const std::optional<std::string>& error)>;

    // The saver of `state`, made on first use.
    static EditedCopySaver* forState(AppState* state);

    // Writes by DatabaseManager::saveEditedCopy unless tests hand in another writer.
    void setWriter(Writer writer);

    // Checks that the target's folder can be written, then writes the copy; `done` follows on the GUI thread.
    void start(const std::filesystem::path& source, const std::filesystem::path& target,
               std::unordered_set<std::int64_t> ids, Done done);

    bool waitForDone(int timeoutMs) { return pool_.waitForDone(timeoutMs); }

private:
    explicit EditedCopySaver(QObject* parent);

    Writer writer_;
    QThreadPool pool_; // last: waited for first
};

// Why `target` cannot be written, in the user's words ("The copy cannot be written to ..."); nullopt
// when its folder exists and can be written. Says nothing about the source, so a missing folder is
// never reported as a database that cannot be opened.
std::optional<std::string> destinationProblem(const std::filesystem::path& target);

} // namespace quillobrandt
