#include "Quillobrandt/conversation/CsvExporter.h"

#include "Quillobrandt/app/AppState.h"
#include "platform/core/SignalStack.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {

CsvExporter* CsvExporter::forState(AppState* state) {
    if (auto* exporter = state->findChild<CsvExporter*>(QString(), Qt::FindDirectChildrenOnly)) {
        return exporter;
    }
    return new CsvExporter(state);
}

CsvExporter::CsvExporter(QObject* parent) : QObject(parent) {
    pool_.setMaxThreadCount(1);
}

void CsvExporter::start(const std::filesystem::path& path, std::shared_ptr<const Conversation> conversation,
                        std::vector<std::uint32_t> positions, ParticipantLabelLookup labelFor, Done done) {
    pool_.start([this, path, conversation = std::move(conversation), positions = std::move(positions),
                 labelFor = std::move(labelFor), done = std::move(done)] {
        platform::ThreadSignalStack signalStack;
        CsvExportResult result;
        try {
            result = exportCSV(path, conversation->messages, positions, labelFor);
        } catch (const std::exception& error) { // out of memory, say: the file is not written, and the user hears why
            result.error = QString::fromLocal8Bit(error.what());
        }
        // This exporter outlives the pool's work (its destructor waits for it), so it is a safe context.
        platform::runOnMainQueue(this, [done, result] { done(result); });
    });
}

} // namespace quillobrandt
