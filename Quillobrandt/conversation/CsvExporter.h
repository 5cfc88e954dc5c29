#pragma once

#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "Quillobrandt/conversation/CsvExport.h"
#include "Quillobrandt/store/Conversation.h"

namespace quillobrandt {

class AppState;

// Writes CSV exports off the GUI thread: a million rows take seconds to format and write. One lives as a child of the
// application state, as the saver of edited copies does, so closing the conversation never waits for an export nor
// cuts it short, and quitting waits for it (a file is finished, never left half written beside the user's files).
class CsvExporter final : public QObject {
    Q_OBJECT
public:
    // Called on the GUI thread with the outcome.
    using Done = std::function<void(const CsvExportResult& result)>;

    // The exporter of `state`, made on first use. GUI thread.
    static CsvExporter* forState(AppState* state);

    // Writes the messages of `conversation` at `positions` to `path` as exportCSV() does; `done` follows on the GUI
    // thread. The conversation is kept alive until the export ends.
    void start(const std::filesystem::path& path, std::shared_ptr<const Conversation> conversation,
               std::vector<std::uint32_t> positions, ParticipantLabelLookup labelFor, Done done);

    bool waitForDone(int timeoutMs) { return pool_.waitForDone(timeoutMs); }

private:
    explicit CsvExporter(QObject* parent);

    QThreadPool pool_; // last: waited for first
};

} // namespace quillobrandt
