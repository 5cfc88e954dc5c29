#include "Quillobrandt/conversation/ParticipantNaming.h"

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/store/ConversationMerger.h"

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

ParticipantLabelLookup labelLookupFrom(const std::map<std::string, std::string>& labels,
                                       const std::vector<std::string>& participants) {
    std::map<std::string, QString> byPerson; // the person key of each labelled participant, the first one's label
    for (const auto& participant : participants) {
        if (const auto label = labels.find(participant); label != labels.end()) {
            byPerson.emplace(personKey(participant), QString::fromStdString(label->second));
        }
    }
    return [own = labelLookupFrom(labels), byPerson = std::move(byPerson)](const QString& handle) {
        if (auto label = own(handle); label || byPerson.empty()) {
            return label;
        }
        const auto person = byPerson.find(personKey(handle.toStdString()));
        return person == byPerson.end() ? std::nullopt : std::optional<QString>(person->second);
    };
}

ParticipantNamer makeParticipantNamer(const std::map<std::string, std::string>& labels, ContactNameLookup contactName) {
    return makeParticipantNamer(labelLookupFrom(labels), std::move(contactName));
}

ParticipantNamer makeParticipantNamer(ParticipantLabelLookup labelFor, ContactNameLookup contactName) {
    return [labelFor = std::move(labelFor), contactName = std::move(contactName)](const QString& handle) {
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

ParticipantNamer participantNamerFor(const AppState& state, const std::vector<std::string>& participants) {
    ContactNameLookup contacts;
    if (state.hasContactsAccess()) {
        contacts = [](const std::string& handle) { return PermissionManager::cachedContactName(handle); };
    }
    return makeParticipantNamer(labelLookupFrom(state.participantLabels(), participants), contacts);
}

} // namespace quillobrandt
