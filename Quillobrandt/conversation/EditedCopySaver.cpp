#include "Quillobrandt/conversation/EditedCopySaver.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/SignalStack.h"
#include "platform/qt/MainQueue.h"

namespace fs = std::filesystem;

namespace quillobrandt {

EditedCopySaver* EditedCopySaver::forState(AppState* state) {
    if (auto* saver = state->findChild<EditedCopySaver*>(QString(), Qt::FindDirectChildrenOnly)) {
        return saver;
    }
    return new EditedCopySaver(state);
}

namespace {

// The store reads the source through a private snapshot, never in place.
void writeThroughStore(const fs::path& source, const fs::path& target, const std::unordered_set<std::int64_t>& ids,
                       const EditedCopyStop& stop) {
    DatabaseManager::saveEditedCopy(source, target, ids, nullptr, stop);
}

} // namespace

EditedCopySaver::EditedCopySaver(QObject* parent) : QObject(parent), writer_(&writeThroughStore) {
    pool_.setMaxThreadCount(1);
}

EditedCopySaver::~EditedCopySaver() {
    // Quitting: a save still at work is stopped, and the pool then waits only for it to clear up.
    for (const auto& save : saves_) {
        if (const auto stop = save.lock()) {
            stop->store(true);
        }
    }
}

void EditedCopySaver::setWriter(Writer writer) {
    writer_ = writer ? std::move(writer) : Writer(&writeThroughStore);
}

EditedCopySaver::StopFlag EditedCopySaver::start(const fs::path& source, const fs::path& target,
                                                 std::unordered_set<std::int64_t> ids, Done done) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::erase_if(saves_, [](const auto& save) { return save.expired(); });
    saves_.push_back(stop);
    pool_.start([this, writer = writer_, source, target, ids = std::move(ids), done = std::move(done), stop] {
        platform::ThreadSignalStack signalStack;
        std::optional<std::string> error = destinationProblem(target);
        bool stopped = false;
        if (!error) {
            try {
                writer(source, target, ids, [&stop] { return stop->load(); });
            } catch (const DatabaseError& e) {
                stopped = e.code() == DatabaseError::Code::stopped && stop->load();
                if (!stopped) {
                    error = e.description();
                }
            } catch (const std::exception& e) {
                error = e.what();
            } catch (...) {
                error = "Unknown error";
            }
        }
        // This saver outlives the pool's work (its destructor waits for it), so it is a safe context.
        platform::runOnMainQueue(this, [done, error, stopped] { done(error, stopped); });
    });
    return stop;
}

std::optional<std::string> destinationProblem(const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const auto cannot = [&](int code) {
        return "The copy cannot be written to \"" + folder.string() + "\": " + std::strerror(code) + ".";
    };
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        return cannot(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return cannot(ENOTDIR);
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return cannot(errno);
    }
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return "The copy cannot be written to \"" + target.string() + "\": " + std::strerror(EISDIR) + ".";
    }
    return std::nullopt;
}

} // namespace quillobrandt
