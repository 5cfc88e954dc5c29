#pragma once

#include <QHash>
#include <QString>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillobrandt {

class AppState;

// The user's label for a handle, if there is one. Supplied by the caller from the application state.
using ParticipantLabelLookup = std::function<std::optional<QString>(const QString& handle)>;

// The full display name of a handle: label, else contact name, else the handle itself.
// The PDF export calls it from its worker thread, so it must be safe to call there
// (capture copies of the labels; the contact cache guards itself).
using ParticipantNamer = std::function<QString(const QString& handle)>;

// A lookup over a copy of a label table.
ParticipantLabelLookup labelLookupFrom(QHash<QString, QString> labels);
ParticipantLabelLookup labelLookupFrom(const std::map<std::string, std::string>& labels);
// The same for the senders of a conversation with `participants`: a sender without a label of its own takes the
// label of the participant it is the same person as (personKey), since one person's chats under several spellings
// of the number load as one conversation that lists only the first spelling.
ParticipantLabelLookup labelLookupFrom(const std::map<std::string, std::string>& labels,
                                       const std::vector<std::string>& participants);

// Contact name for a handle, if the contacts know it (the contact cache's lookup).
using ContactNameLookup = std::function<std::optional<std::string>(const std::string& handle)>;

// Label, else contact name, else the handle. Pass no contact lookup without Contacts access.
// The labels are copied, so the namer can outlive them and run on another thread.
ParticipantNamer makeParticipantNamer(const std::map<std::string, std::string>& labels,
                                      ContactNameLookup contactName = {});
ParticipantNamer makeParticipantNamer(ParticipantLabelLookup labelFor, ContactNameLookup contactName = {});

// The namer of `state`'s labels for a conversation with `participants` (its senders named as the participants they
// are), with the contact names while Contacts access is granted. GUI thread; the namer it returns may run anywhere.
ParticipantNamer participantNamerFor(const AppState& state, const std::vector<std::string>& participants);

} // namespace quillobrandt
