#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include <QMetaObject>
#include <QPointer>
#include <QString>

#include "Corvantesk/analytics/PlatformHooks.h"
#include "Corvantesk/core/AnyCodable.h"

class QAbstractButton;
class QAction;
class QComboBox;
class QMenu;
class QObject;
class QTabBar;
class QWidget;

namespace corvantesk {

class AutoTrackerEventFilter;

// Records, without code in the application, which screens (windows) the user looks at and which buttons and
// menu actions the user clicks, and reports them through the shared SDK client: screen views and clicks to
// its analytics client, a "navigation" or "ui" breadcrumb to its health client. Nothing is reported while the
// SDK has no shared client.
//
// Installing puts an application-wide event filter in place that sees window activation, window hiding and
// title changes, mouse releases, Space and Return on buttons (and a dialog's default button), and menu and
// shortcut activations of actions, each before the widget acts on it. Uninstalling removes it, after
// which nothing is tracked. Text-entry widgets are never looked at and only key codes are read, so nothing the
// user types is ever reported.
//
// Threads: the settings and the registry may be used from any thread (the registry under the tracker's lock,
// never held while reporting). install(), uninstall(), the screen and click handling run on the UI thread.
class MacOSAutoTracker {
public:
    struct TrackingMetadata {
        std::optional<std::string> trackId;
        std::optional<std::string> trackLabel;
        std::optional<std::string> trackCategory; // stored only; no event carries it
        std::optional<std::string> screenName;
        bool isTrackingEnabled = true;

        bool operator==(const TrackingMetadata&) const = default;
    };

    // The one tracker of the process, never destroyed.
    static MacOSAutoTracker& shared();

    std::atomic<bool> isEnabled{true};
    std::atomic<bool> trackButtonClicks{true};
    std::atomic<bool> trackScreenViews{true};
    std::atomic<bool> trackMenuClicks{true};
    std::atomic<bool> trackToolbarClicks{true}; // kept for the settings' sake; toolbar buttons count as buttons
    std::atomic<bool> debugLogging{false};

    // Copies the SDK's settings (the master switch is on whenever the client installs the tracker).
    void apply(const AutoTrackingSettings& settings);

    // UI thread. Once; a second call does nothing.
    void install();
    // UI thread. Removes the event filter and forgets the screens seen; the registry stays.
    void uninstall();
    bool isInstalled() const;

    // Registry, by object identity. An entry goes away with its object, so a new object that happens to get
    // the same address never inherits it.
    void setTrackingMetadata(const TrackingMetadata& metadata, const QObject* object);
    std::optional<TrackingMetadata> trackingMetadata(const QObject* object) const;
    void removeTrackingMetadata(const QObject* object);

    // Sets the screen name and label of `widget`'s window (keeping the rest of its entry), then re-evaluates
    // the screen when that window is the active one. Runs at once on the UI thread, else queued to it.
    void registerScreen(QWidget* widget, const std::string& name, const std::optional<std::string>& label);
    // The same for the active window at the time the queued registration runs; nothing without one.
    void registerScreen(const std::string& name, const std::optional<std::string>& label);

    // Screens (UI thread).
    void evaluateScreen(QWidget* window, bool force);
    std::string screenName(const QWidget* window) const;
    void trackScreenView(const std::string& name, const QWidget* window);
    std::optional<std::string> currentScreenName() const;

    // Clicks (UI thread). The sender is a button or an action; anything else is ignored. A button of a button
    // group counts as a segment of a segmented control.
    void trackSender(QObject* sender);
    // A choice made in a combo box: a pop-up button with its "selected_item".
    void trackPopUpButton(QComboBox* combo, int index);
    // A tab chosen in a tab bar: a segment of a segmented control.
    void trackTab(QTabBar* tabBar, int index);
    // An action triggered through `menu` (a keyboard mnemonic among others). Skipped when the event path
    // has just reported the same action, so each choice counts once.
    void trackMenuTrigger(QMenu* menu, QAction* action);
    void trackClick(const std::string& elementId, const std::optional<std::string>& label,
                    const std::optional<std::string>& screen, const std::string& controlType,
                    std::optional<AnyMap> properties = std::nullopt);
    std::string controlLabel(const QWidget* control) const;
    std::string menuItemLabel(const QAction* item) const;
    std::optional<std::string> containerContext(const QWidget* view) const;
    std::string windowContextName(const QWidget* window) const;

    // Event handlers called by the event filter (UI thread).
    void handleWindowActivated(QWidget* window);
    void handleWindowHidden(QWidget* window);
    void handleSheetEnded(QWidget* sheet);
    void handleWindowUpdated(QWidget* window);

private:
    MacOSAutoTracker() = default;

    struct Entry {
        TrackingMetadata metadata;
        QMetaObject::Connection destroyed;
    };

    void trackButton(QAbstractButton* button);
    void trackMenuItem(QAction* item);
    void trackSegment(const QObject* control, const std::string& baseId, int index, const QString& segmentLabel);
    std::optional<std::string> clickScreen() const;
    void debug(const std::string& line) const;

    mutable std::mutex mutex_; // guards everything below
    std::unique_ptr<AutoTrackerEventFilter> filter_;
    std::set<std::string> trackedScreens_;
    std::optional<std::string> currentScreenName_;
    QPointer<QWidget> currentScreenWindow_;
    std::map<const QObject*, Entry> customTrackingIDs_;
    QPointer<QAction> lastReportedAction_; // the event path's latest menu report, until the event loop turns
};

} // namespace corvantesk
