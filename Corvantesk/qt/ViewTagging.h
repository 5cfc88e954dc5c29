#pragma once

// Tags that label widgets for the automatic tracker. They are dynamic properties on the widget and, like
// values of a view environment, apply to the widget and everything inside it: a reader takes the tag of the
// nearest ancestor (the widget itself included) that has one, without leaving the widget's window.
//
// The tagging calls are made on the UI thread, where the widgets live. The registry calls at the end may be
// made from any thread.

#include <optional>
#include <string>

#include <QString>

class QObject;
class QWidget;

namespace corvantesk {

// Tracking id and label reported for clicks inside the widget (unless a registry entry overrides them).
void trackingID(QWidget* widget, const QString& id);
void trackingLabel(QWidget* widget, const QString& label);
// Stored with the rest; no event carries it.
void trackingCategory(QWidget* widget, const QString& category);
// true: clicks inside the widget are not tracked.
void trackingDisabled(QWidget* widget, bool disabled);
// Names the screen shown by the widget's window: each time the widget appears, its window is registered with
// the automatic tracker under `name` and `label` (an absent label clears an earlier one).
void trackScreen(QWidget* widget, const QString& name, const std::optional<QString>& label = std::nullopt);

// The inherited values; absent (enabled: true) when nobody tagged the widget or an ancestor.
std::optional<QString> corvanteskTrackingID(const QWidget* widget);
std::optional<QString> corvanteskTrackingLabel(const QWidget* widget);
std::optional<QString> corvanteskTrackingCategory(const QWidget* widget);
bool corvanteskTrackingEnabled(const QWidget* widget);
// The screen tag of the widget or its nearest tagged ancestor in the same window.
std::optional<QString> corvanteskScreenName(const QWidget* widget);

// Registers a screen for any object (normally a window), replacing whatever was registered for it before.
void registerTrackingScreen(const QObject* object, const std::string& name,
                            const std::optional<std::string>& label = std::nullopt);
// Registers id, label, category and the on/off switch for any object (normally a control), replacing whatever
// was registered for it before.
void registerTracking(const QObject* object, const std::optional<std::string>& id,
                      const std::optional<std::string>& label, const std::optional<std::string>& category,
                      bool enabled);

} // namespace corvantesk
