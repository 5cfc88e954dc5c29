#pragma once

#include <QLocale>

#include <cstdint>
#include <optional>

#include "platform/qt/AlertPresenter.h"

namespace quillobrandt::main_alerts {

// Button indexes of the alerts below.
inline constexpr int kPrimaryButton = 0;
inline constexpr int kCancelButton = 1;

// "Full Disk Access Required": "Open System Settings" or "Cancel".
platform::AlertRequest fullDiskAccess();
// "Error" with the given text and one "OK".
platform::AlertRequest error(const QString& message);
// "Large Conversation": "Proceed" or "Cancel". The count is written with `locale`'s digit grouping,
// or as "many" when there is none.
platform::AlertRequest largeConversation(std::optional<std::int64_t> messageCount, const QLocale& locale = QLocale());

} // namespace quillobrandt::main_alerts
