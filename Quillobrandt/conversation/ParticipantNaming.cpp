#include "Quillobrandt/conversation/ParticipantNaming.h"

namespace quillobrandt {

ParticipantLabelLookup labelLookupFrom(QHash<QString, QString> labels) {
    return [labels = std::move(labels)](const QString& handle) -> std::optional<QString> {
        const auto found = labels.constFind(handle);
        if (found == labels.constEnd()) {
            return std::nullopt;
        }
        return *found;
    };
}

} // namespace quillobrandt
