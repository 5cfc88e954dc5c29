#include "Corvantesk/qt/ViewTagging.h"

#include <QEvent>
#include <QVariant>
#include <QWidget>

#include "Corvantesk/qt/MacOSAutoTracker.h"

namespace corvantesk {
namespace {

constexpr const char* kTrackingID = "corvanteskTrackingID";
constexpr const char* kTrackingLabel = "corvanteskTrackingLabel";
constexpr const char* kTrackingCategory = "corvanteskTrackingCategory";
constexpr const char* kTrackingEnabled = "corvanteskTrackingEnabled";
constexpr const char* kScreenName = "corvanteskScreenName";
constexpr const char* kScreenLabel = "corvanteskScreenLabel";

// The nearest value of `property` from the widget up to its window, as an environment value flows down.
QVariant inherited(const QWidget* widget, const char* property) {
    for (const QWidget* current = widget; current != nullptr; current = current->parentWidget()) {
        const QVariant value = current->property(property);
        if (value.isValid()) {
            return value;
        }
        if (current->isWindow()) {
            break;
        }
    }
    return {};
}

std::optional<QString> inheritedText(const QWidget* widget, const char* property) {
    const QVariant value = inherited(widget, property);
    return value.isValid() ? std::optional(value.toString()) : std::nullopt;
}

// Registers the tagged widget's window each time the widget appears.
class ScreenTagWatcher : public QObject {
public:
    explicit ScreenTagWatcher(QWidget* widget) : QObject(widget), widget_(widget) { widget->installEventFilter(this); }

    static void registerNow(QWidget* widget) {
        const QVariant label = widget->property(kScreenLabel);
        MacOSAutoTracker::shared().registerScreen(widget, widget->property(kScreenName).toString().toStdString(),
                                                  label.isValid() ? std::optional(label.toString().toStdString())
                                                                  : std::nullopt);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget_ && event->type() == QEvent::Show && !event->spontaneous()) {
            registerNow(widget_);
        }
        return false;
    }

private:
    QWidget* widget_;
};

} // namespace

void trackingID(QWidget* widget, const QString& id) {
    widget->setProperty(kTrackingID, id);
}

void trackingLabel(QWidget* widget, const QString& label) {
    widget->setProperty(kTrackingLabel, label);
}

void trackingCategory(QWidget* widget, const QString& category) {
    widget->setProperty(kTrackingCategory, category);
}

void trackingDisabled(QWidget* widget, bool disabled) {
    widget->setProperty(kTrackingEnabled, !disabled);
}

void trackScreen(QWidget* widget, const QString& name, const std::optional<QString>& label) {
    const bool watched = widget->property(kScreenName).isValid();
    widget->setProperty(kScreenName, name);
    widget->setProperty(kScreenLabel, label ? QVariant(*label) : QVariant());
    if (!watched) {
        new ScreenTagWatcher(widget); // owned by the widget
    }
    if (widget->isVisible()) {
        ScreenTagWatcher::registerNow(widget);
    }
}

std::optional<QString> corvanteskTrackingID(const QWidget* widget) {
    return inheritedText(widget, kTrackingID);
}

std::optional<QString> corvanteskTrackingLabel(const QWidget* widget) {
    return inheritedText(widget, kTrackingLabel);
}

std::optional<QString> corvanteskTrackingCategory(const QWidget* widget) {
    return inheritedText(widget, kTrackingCategory);
}

bool corvanteskTrackingEnabled(const QWidget* widget) {
    const QVariant value = inherited(widget, kTrackingEnabled);
    return !value.isValid() || value.toBool();
}

std::optional<QString> corvanteskScreenName(const QWidget* widget) {
    return inheritedText(widget, kScreenName);
}

void registerTrackingScreen(const QObject* object, const std::string& name, const std::optional<std::string>& label) {
    MacOSAutoTracker::TrackingMetadata entry;
    entry.trackLabel = label;
    entry.screenName = name;
    MacOSAutoTracker::shared().setTrackingMetadata(entry, object);
}

void registerTracking(const QObject* object, const std::optional<std::string>& id,
                      const std::optional<std::string>& label, const std::optional<std::string>& category,
                      bool enabled) {
    MacOSAutoTracker::shared().setTrackingMetadata({id, label, category, std::nullopt, enabled}, object);
}

} // namespace corvantesk
