#include "Quillobrandt/conversation/EditedCopySaver.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "Quillobrandt/app/AppState.h"
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
void writeThroughStore(const fs::path& source, const fs::path& target, const std::unordered_set<std::int64_t>& ids) {
    DatabaseManager::saveEditedCopy(source, target, ids);
}

} // namespace

EditedCopySaver::EditedCopySaver(QObject* parent) : QObject(parent), writer_(&writeThroughStore) {
    pool_.setMaxThreadCount(1);
}

void EditedCopySaver::setWriter(Writer writer) {
    writer_ = writer ? std::move(writer) : Writer(&writeThroughStore);
}

void EditedCopySaver::start(const fs::path& source, const fs::path& target, std::unordered_set<std::int64_t> ids,
                            Done done) {
    pool_.start([this, writer = writer_, source, target, ids = std::move(ids), done = std::move(done)] {
        platform::ThreadSignalStack signalStack;
        std::optional<std::string> error = destinationProblem(target);
        if (!error) {
            try {
                writer(source, target, ids);
            } catch (const std::exception& e) {
                error = e.what();
            } catch (...) {
                error = "Unknown error";
            }
        }
        // This saver outlives the pool's work (its destructor waits for it), so it is a safe context.
        platform::runOnMainQueue(this, [done, error] { done(error); });
    });
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
