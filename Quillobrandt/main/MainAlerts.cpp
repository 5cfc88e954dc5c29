#include "Quillobrandt/main/MainAlerts.h"

namespace quillobrandt::main_alerts {

platform::AlertRequest fullDiskAccess() {
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Full Disk Access Required");
    request.informativeText = QStringLiteral(
        "Quillobrandt needs Full Disk Access to read your Messages database.\n\n"
        "Please click 'Open System Settings' below, then:\n"
        "1. Find Quillobrandt in the list\n"
        "2. Toggle it ON (or remove and re-add it)\n"
        "3. Restart Quillobrandt");
    request.style = platform::AlertStyle::warning;
    request.buttons = {QStringLiteral("Open System Settings"), QStringLiteral("Cancel")};
    request.defaultButton = kPrimaryButton;
    request.cancelButton = kCancelButton;
    return request;
}

platform::AlertRequest error(const QString& message) {
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Error");
    request.informativeText = message;
    request.style = platform::AlertStyle::critical;
    request.buttons = {QStringLiteral("OK")};
    request.defaultButton = 0;
    request.cancelButton = 0;
    return request;
}

platform::AlertRequest largeConversation(std::optional<std::int64_t> messageCount, const QLocale& locale) {
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    const QString count =
        messageCount ? grouped.toString(static_cast<qlonglong>(*messageCount)) : QStringLiteral("many");
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Large Conversation");
    request.informativeText =
        QStringLiteral("This conversation has ") + count +
        QStringLiteral(" messages.\n\nVery large conversations may take longer to load and could use significant "
                       "memory, especially when exporting to PDF with images.\n\nWould you like to proceed?");
    request.style = platform::AlertStyle::warning;
    request.buttons = {QStringLiteral("Proceed"), QStringLiteral("Cancel")};
    request.defaultButton = kPrimaryButton;
    request.cancelButton = kCancelButton;
    return request;
}

} // namespace quillobrandt::main_alerts
