#pragma once

#include <QHash>
#include <QString>

#include <functional>
#include <optional>

namespace quillobrandt {

// The user's label for a handle, if there is one. Supplied by the caller from the application state.
using ParticipantLabelLookup = std::function<std::optional<QString>(const QString& handle)>;

// The full display name of a handle: label, else contact name, else the handle itself.
// The PDF export calls it from its worker thread, so it must be safe to call there
// (capture copies of the labels; the contact cache guards itself).
using ParticipantNamer = std::function<QString(const QString& handle)>;

// A lookup over a copy of a label table.
ParticipantLabelLookup labelLookupFrom(QHash<QString, QString> labels);

} // namespace quillobrandt
