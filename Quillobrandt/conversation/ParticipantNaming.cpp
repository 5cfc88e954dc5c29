#include "Quillobrandt/conversation/ParticipantNaming.h"

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/PermissionManager.h"

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

ParticipantLabelLookup labelLookupFrom(const std::map<std::string, std::string>& labels) {
    QHash<QString, QString> copy;
    for (const auto& [handle, label] : labels) {
        copy.insert(QString::fromStdString(handle), QString::fromStdString(label));
    }
    return labelLookupFrom(std::move(copy));
}

ParticipantNamer makeParticipantNamer(const std::map<std::string, std::string>& labels, ContactNameLookup contactName) {
    return [labelFor = labelLookupFrom(labels), contactName = std::move(contactName)](const QString& handle) {
        if (auto label = labelFor(handle)) {
            return *label;
        }
        if (contactName) {
            if (auto name = contactName(handle.toStdString()); name && !name->empty()) {
                return QString::fromStdString(*name);
            }
        }
        return handle;
    };
}

ParticipantNamer participantNamerFor(const AppState& state) {
    ContactNameLookup contacts;
    if (state.hasContactsAccess()) {
        contacts = [](const std::string& handle) { return PermissionManager::cachedContactName(handle); };
    }
    return makeParticipantNamer(state.participantLabels(), contacts);
}

} // namespace quillobrandt
