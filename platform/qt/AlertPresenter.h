#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace platform {

enum class AlertStyle { informational, warning, critical };

// One modal alert: a bold message, an explanatory paragraph and buttons in their designed order.
struct AlertRequest {
    QString messageText;
    QString informativeText;
    AlertStyle style = AlertStyle::warning;
    QStringList buttons{QStringLiteral("OK")};
    int defaultButton = 0;             // answers Return
    std::optional<int> cancelButton{}; // answers Escape; without one, Escape closes nothing
    bool escapeCloses = false;         // without a cancel button: Escape closes the alert unanswered (-1)
    bool selectableText = false;       // the texts can be selected and copied (a path, an address)

    bool operator==(const AlertRequest&) const = default;
};

// The common shape of a failure report: a critical alert with the one button "OK".
inline AlertRequest criticalAlert(QString messageText, QString informativeText) {
    AlertRequest request;
    request.messageText = std::move(messageText);
    request.informativeText = std::move(informativeText);
    request.style = AlertStyle::critical;
    return request;
}

// Shows alerts. Called on the GUI thread only. Tests install a recording fake, so nothing ever waits
// for a human there.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;

    // Shows the alert and returns the index in `buttons` of the button pressed, or -1 when the alert
    // closed without one.
    virtual int runModal(const AlertRequest& request) = 0;
};

// The desktop's message box, parented to the active window.
class QtAlertPresenter final : public AlertPresenter {
public:
    int runModal(const AlertRequest& request) override;
};

} // namespace platform
