#include "Corvantesk/qt/MacOSAutoTracker.h"

#include <cstdint>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QMainWindow>
#include <QMenu>
#include <QScrollArea>
#include <QTabBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include "Corvantesk/Corvantesk.h"
#include "Corvantesk/qt/AutoTrackerEventFilter.h"
#include "Corvantesk/qt/TrackingNames.h"
#include "Corvantesk/qt/ViewTagging.h"
#include "platform/core/Console.h"

namespace corvantesk {
namespace {

constexpr int kMaxSearchDepth = 5;
constexpr int kSheetSettleMilliseconds = 100;

std::string text(const QString& value) {
    return value.toStdString();
}

// Names Qt gives its own helper widgets ("qt_scrollarea_viewport", ...) say nothing about the application.
bool usableName(const QString& name) {
    return !name.isEmpty() && !name.startsWith(QLatin1Char('_')) && !name.startsWith(QStringLiteral("qt_"));
}

QString windowTitleText(const QWidget* window) {
    QString title = window->windowTitle();
    title.remove(QStringLiteral("[*]"));
    return title;
}

bool isPanel(const QWidget* window) {
    switch (window->windowType()) {
    case Qt::Tool:
    case Qt::Popup:
    case Qt::ToolTip:
    case Qt::SplashScreen:
        return true;
    default:
        return false;
    }
}

bool isGenericAccessibleName(const QString& name) {
    static const QStringList generic = {QStringLiteral("button"), QStringLiteral("control"), QStringLiteral("view"),
                                        QStringLiteral("cell"),   QStringLiteral("row"),     QStringLiteral("item")};
    return generic.contains(name.toLower());
}

std::string windowKey(const QWidget* window) {
    return "window@" + std::to_string(reinterpret_cast<std::uintptr_t>(window));
}

std::optional<std::string> viewNameInChildren(const QWidget* view, int depth) {
    if (depth >= kMaxSearchDepth) {
        return std::nullopt;
    }
    for (const auto* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow()) {
            continue;
        }
        if (usableName(child->objectName())) {
            return text(normalizeTrackingName(child->objectName()));
        }
        if (auto found = viewNameInChildren(child, depth + 1)) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<std::string> viewScreenName(const QWidget* view) {
    if (usableName(view->objectName())) {
        return text(normalizeTrackingName(view->objectName()));
    }
    return viewNameInChildren(view, 0);
}

// The first menu an action was added to.
QMenu* menuOf(const QAction* action) {
    for (auto* object : action->associatedObjects()) {
        if (auto* menu = qobject_cast<QMenu*>(object)) {
            return menu;
        }
    }
    return nullptr;
}

template <class Work> void withSharedClient(Work&& work) {
    if (auto client = Corvantesk::sharedOrNil()) {
        work(*client);
    }
}

} // namespace

MacOSAutoTracker& MacOSAutoTracker::shared() {
    static auto* tracker = new MacOSAutoTracker();
    return *tracker;
}

void MacOSAutoTracker::apply(const AutoTrackingSettings& settings) {
    isEnabled = true;
    trackButtonClicks = settings.trackButtonClicks;
    trackScreenViews = settings.trackScreenViews;
    trackMenuClicks = settings.trackMenuClicks;
    debugLogging = settings.debugLogging;
}

void MacOSAutoTracker::debug(const std::string& line) const {
    if (debugLogging) {
        platform::consoleLine("[Corvantesk AutoTracker] " + line);
    }
}

void MacOSAutoTracker::install() {
    auto* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app, [this] { install(); }, Qt::QueuedConnection);
        return;
    }
    std::lock_guard lock(mutex_);
    if (filter_) {
        return;
    }
    if (app == nullptr) {
        debug("No application object: windows and clicks cannot be seen");
        return;
    }
    filter_ = std::make_unique<AutoTrackerEventFilter>(*this);
    app->installEventFilter(filter_.get());
    debug("Installed application event filter");
    debug("Installed automatic tracking for Linux");
}

void MacOSAutoTracker::uninstall() {
    auto* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app, [this] { uninstall(); }, Qt::QueuedConnection);
        return;
    }
    std::lock_guard lock(mutex_);
    if (!filter_) {
        return;
    }
    if (app != nullptr) {
        app->removeEventFilter(filter_.get());
    }
    filter_.reset();
    // Uninstalled, the tracker no longer sees windows close, so what it remembers would go stale; a tracker
    // installed again (a new client) reports the screen in front anew.
    trackedScreens_.clear();
    currentScreenName_.reset();
    currentScreenWindow_.clear();
    debug("Uninstalled automatic tracking");
}

bool MacOSAutoTracker::isInstalled() const {
    std::lock_guard lock(mutex_);
    return filter_ != nullptr;
}

void MacOSAutoTracker::setTrackingMetadata(const TrackingMetadata& metadata, const QObject* object) {
    if (object == nullptr) {
        return;
    }
    std::lock_guard lock(mutex_);
    auto [entry, inserted] = customTrackingIDs_.try_emplace(object);
    entry->second.metadata = metadata;
    if (inserted) {
        entry->second.destroyed =
            QObject::connect(object, &QObject::destroyed, [this, object] { removeTrackingMetadata(object); });
    }
}

std::optional<MacOSAutoTracker::TrackingMetadata> MacOSAutoTracker::trackingMetadata(const QObject* object) const {
    std::lock_guard lock(mutex_);
    const auto found = customTrackingIDs_.find(object);
    if (found == customTrackingIDs_.end()) {
        return std::nullopt;
    }
    return found->second.metadata;
}

void MacOSAutoTracker::removeTrackingMetadata(const QObject* object) {
    QMetaObject::Connection connection;
    {
        std::lock_guard lock(mutex_);
        const auto found = customTrackingIDs_.find(object);
        if (found == customTrackingIDs_.end()) {
            return;
        }
        connection = found->second.destroyed;
        customTrackingIDs_.erase(found);
    }
    QObject::disconnect(connection);
}

void MacOSAutoTracker::registerScreen(QWidget* widget, const std::string& name,
                                      const std::optional<std::string>& label) {
    if (widget == nullptr) {
        return;
    }
    QWidget* window = widget->window();
    auto entry = trackingMetadata(window).value_or(TrackingMetadata{});
    entry.screenName = name;
    entry.trackLabel = label;
    setTrackingMetadata(entry, window);
    debug("Registered screen " + name);
    handleWindowUpdated(window);
}

void MacOSAutoTracker::registerScreen(const std::string& name, const std::optional<std::string>& label) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [this, name, label] {
            if (QWidget* window = QApplication::activeWindow()) {
                registerScreen(window, name, label);
            }
        },
        Qt::QueuedConnection);
}

std::optional<std::string> MacOSAutoTracker::currentScreenName() const {
    std::lock_guard lock(mutex_);
    return currentScreenName_;
}

std::string MacOSAutoTracker::screenName(const QWidget* window) const {
    if (auto entry = trackingMetadata(window); entry && entry->screenName) {
        return *entry->screenName;
    }
    if (usableName(window->objectName())) {
        return text(normalizeTrackingName(window->objectName()));
    }
    const QString title = windowTitleText(window);
    const QString lowerTitle = title.toLower();
    if (!title.isEmpty() && lowerTitle != QStringLiteral("window") && lowerTitle != QStringLiteral("untitled") &&
        lowerTitle != QStringLiteral("document")) {
        return text(normalizeTrackingName(title));
    }
    const auto* mainWindow = qobject_cast<const QMainWindow*>(window);
    const QWidget* content =
        mainWindow != nullptr && mainWindow->centralWidget() != nullptr ? mainWindow->centralWidget() : window;
    const QWidget* focus = window->focusWidget();
    if (focus != nullptr && focus != window) {
        if (auto name = viewScreenName(focus)) {
            return *name;
        }
    }
    if (auto name = content == window ? viewNameInChildren(content, 0) : viewScreenName(content)) {
        return *name;
    }
    QString className = QString::fromLatin1(window->metaObject()->className());
    className = className.mid(className.lastIndexOf(QStringLiteral("::")) + 1).remove(QLatin1Char(':'));
    if (className.size() > 1 && className[0] == QLatin1Char('Q') && className[1].isUpper()) {
        className.remove(0, 1);
    }
    className.remove(QStringLiteral("Window"));
    // The plain window classes say nothing about the screen; the window's role below does.
    if (!className.isEmpty() && className != QStringLiteral("Widget") && className != QStringLiteral("Dialog") &&
        className != QStringLiteral("Panel")) {
        return text(className) + "Screen";
    }
    if (window->windowType() == Qt::Tool || window->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        return "FloatingPanel";
    }
    if (window->windowModality() != Qt::NonModal) {
        return "ModalDialog";
    }
    return "MainScreen";
}

void MacOSAutoTracker::evaluateScreen(QWidget* window, bool force) {
    if (window == nullptr) {
        return;
    }
    const std::string name = screenName(window);
    const std::string key = windowKey(window) + "_" + name;
    {
        std::lock_guard lock(mutex_);
        const bool seen = trackedScreens_.contains(key);
        const bool same = currentScreenName_ == name;
        currentScreenName_ = name;
        currentScreenWindow_ = window;
        if (!force && seen && same) {
            return;
        }
        trackedScreens_.insert(key);
    }
    trackScreenView(name, window);
}

void MacOSAutoTracker::trackScreenView(const std::string& name, const QWidget* window) {
    std::optional<std::string> label;
    if (auto entry = trackingMetadata(window); entry && entry->trackLabel) {
        label = entry->trackLabel;
    } else if (window != nullptr && !windowTitleText(window).isEmpty()) {
        label = text(windowTitleText(window));
    }
    debug("Screen view: " + name);
    withSharedClient([&](CorvanteskClient& client) {
        client.analytics().trackScreenView(name, label, AnyMap{{"auto_tracked", true}});
        client.health().addBreadcrumb(Breadcrumb("navigation", "Viewed " + name, AnyMap{{"screen", name}}));
    });
}

void MacOSAutoTracker::handleWindowActivated(QWidget* window) {
    if (isEnabled && trackScreenViews && !isPanel(window)) {
        evaluateScreen(window, false);
    }
}

void MacOSAutoTracker::handleWindowHidden(QWidget* window) {
    const std::string prefix = windowKey(window) + "_";
    std::lock_guard lock(mutex_);
    std::erase_if(trackedScreens_, [&](const std::string& key) { return key.starts_with(prefix); });
    if (currentScreenWindow_ == window) {
        currentScreenName_.reset();
        currentScreenWindow_.clear();
    }
}

void MacOSAutoTracker::handleSheetEnded(QWidget* sheet) {
    if (!isEnabled || !trackScreenViews || sheet->parentWidget() == nullptr) {
        return;
    }
    debug("Sheet ended on window, re-evaluating screen");
    QWidget* window = sheet->parentWidget()->window();
    // The timer belongs to the window: it is dropped when the window goes first.
    QTimer::singleShot(kSheetSettleMilliseconds, window, [this, window] {
        if (isInstalled() && isEnabled && trackScreenViews) {
            evaluateScreen(window, true);
        }
    });
}

void MacOSAutoTracker::handleWindowUpdated(QWidget* window) {
    if (!isEnabled || !trackScreenViews || window != QApplication::activeWindow() || !isInstalled()) {
        return;
    }
    const std::string name = screenName(window);
    if (currentScreenName() == name) {
        return;
    }
    evaluateScreen(window, false);
}

std::optional<std::string> MacOSAutoTracker::clickScreen() const {
    if (auto current = currentScreenName()) {
        return current;
    }
    if (const QWidget* window = QApplication::activeWindow()) {
        return screenName(window);
    }
    return std::nullopt;
}

void MacOSAutoTracker::trackSender(QObject* sender) {
    if (!isEnabled || sender == nullptr) {
        return;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(sender)) {
        trackButton(button);
    } else if (auto* action = qobject_cast<QAction*>(sender)) {
        trackMenuItem(action);
    }
}

void MacOSAutoTracker::trackButton(QAbstractButton* button) {
    // Widgets that report their own clicks (the tracked buttons and toggles) are not counted twice. The id,
    // label and enabled tags on views are set but never read back: only the registry changes what is recorded.
    if (!trackButtonClicks || button->property("corvanteskReportsItself").toBool()) {
        return;
    }
    if (QButtonGroup* group = button->group()) {
        // The buttons of a group are the segments of one control.
        const auto groupEntry = trackingMetadata(group);
        std::string base;
        if (groupEntry && groupEntry->trackId) {
            base = *groupEntry->trackId;
        } else if (usableName(group->objectName())) {
            base = text(normalizeTrackingName(group->objectName()));
        } else {
            base = button->parentWidget() != nullptr ? controlLabel(button->parentWidget()) : "buttongroup";
        }
        trackSegment(group, base, static_cast<int>(group->buttons().indexOf(button)), withoutMnemonic(button->text()));
        return;
    }
    const auto entry = trackingMetadata(button);
    if (entry && !entry->isTrackingEnabled) {
        return;
    }
    const std::string elementId = entry && entry->trackId ? *entry->trackId : controlLabel(button);
    std::optional<std::string> label;
    if (entry && entry->trackLabel) {
        label = entry->trackLabel;
    } else if (const QString title = withoutMnemonic(button->text()); !title.isEmpty()) {
        label = text(title);
    }
    trackClick(elementId, label, clickScreen(), "button");
}

void MacOSAutoTracker::trackSegment(const QObject* control, const std::string& baseId, int index,
                                    const QString& segmentLabel) {
    const auto entry = trackingMetadata(control);
    if (!trackButtonClicks || (entry && !entry->isTrackingEnabled)) {
        return;
    }
    std::optional<std::string> label;
    if (!segmentLabel.isEmpty()) {
        label = text(segmentLabel);
    }
    trackClick(baseId + "_segment_" + std::to_string(index), label, clickScreen(), "segmented_control",
               AnyMap{{"segment_index", static_cast<std::int64_t>(index)}});
}

void MacOSAutoTracker::trackTab(QTabBar* tabBar, int index) {
    if (!isEnabled || tabBar == nullptr || index < 0) {
        return;
    }
    const auto entry = trackingMetadata(tabBar);
    const std::string base = entry && entry->trackId ? *entry->trackId : controlLabel(tabBar);
    trackSegment(tabBar, base, index, withoutMnemonic(tabBar->tabText(index)));
}

void MacOSAutoTracker::trackPopUpButton(QComboBox* combo, int index) {
    if (!isEnabled || combo == nullptr || !trackButtonClicks) {
        return;
    }
    const auto entry = trackingMetadata(combo);
    if (entry && !entry->isTrackingEnabled) {
        return;
    }
    const std::string elementId = entry && entry->trackId ? *entry->trackId : controlLabel(combo);
    const QString chosen = index >= 0 ? combo->itemText(index) : QString();
    const std::string selected = chosen.isEmpty() ? std::string("unknown") : text(chosen);
    trackClick(elementId, selected, clickScreen(), "popup_button", AnyMap{{"selected_item", selected}});
}

void MacOSAutoTracker::trackMenuTrigger(QMenu* menu, QAction* action) {
    // A menu hears the triggers of its submenus' actions too: only the menu that holds the action reports it.
    if (!isEnabled || menu == nullptr || action == nullptr || !menu->actions().contains(action) ||
        action->menu<QMenu*>() != nullptr) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (lastReportedAction_ == action) {
            lastReportedAction_.clear();
            return; // the mouse, Return or shortcut path has reported this choice already
        }
    }
    trackMenuItem(action);
    std::lock_guard lock(mutex_);
    lastReportedAction_.clear();
}

void MacOSAutoTracker::trackMenuItem(QAction* item) {
    {
        // The trigger that follows this report is the same choice; forget it once the event loop turns.
        std::lock_guard lock(mutex_);
        lastReportedAction_ = item;
    }
    QTimer::singleShot(0, item, [this, item] {
        std::lock_guard lock(mutex_);
        if (lastReportedAction_ == item) {
            lastReportedAction_.clear();
        }
    });
    if (!trackMenuClicks) {
        return;
    }
    const auto entry = trackingMetadata(item);
    if (entry && !entry->isTrackingEnabled) {
        return;
    }
    const std::string elementId = entry && entry->trackId ? *entry->trackId : menuItemLabel(item);
    const std::optional<std::string> label =
        entry && entry->trackLabel ? entry->trackLabel : std::optional(text(withoutMnemonic(item->text())));
    trackClick(elementId, label, clickScreen(), "menu_item");
}

void MacOSAutoTracker::trackClick(const std::string& elementId, const std::optional<std::string>& label,
                                  const std::optional<std::string>& screen, const std::string& controlType,
                                  std::optional<AnyMap> properties) {
    AnyMap map = properties.value_or(AnyMap{});
    map["control_type"] = controlType;
    map["auto_tracked"] = true;
    if (label && !label->empty()) {
        map["element_label"] = *label;
    }
    debug("Click: " + elementId + " (" + controlType + ") label: " + label.value_or("none") +
          " on screen: " + screen.value_or("unknown"));
    withSharedClient([&](CorvanteskClient& client) {
        client.analytics().trackButtonClick(elementId, label, screen, map);
        client.health().addBreadcrumb(
            Breadcrumb("ui", "Clicked " + (label ? *label : elementId),
                       AnyMap{{"element", elementId}, {"screen", AnyCodable(screen)}, {"type", controlType}}));
    });
}

std::string MacOSAutoTracker::controlLabel(const QWidget* control) const {
    if (usableName(control->objectName())) {
        return text(normalizeTrackingName(control->objectName()));
    }
    if (const QString name = control->accessibleName(); !name.isEmpty() && !isGenericAccessibleName(name)) {
        return text(normalizeTrackingName(name));
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
        if (const QString title = withoutMnemonic(button->text()); !title.isEmpty()) {
            return text(normalizeTrackingName(title));
        }
        if (const QString icon = button->icon().name(); !icon.isEmpty()) {
            return text(normalizeTrackingName(icon + QStringLiteral("_button")));
        }
    }
    if (const QString tip = control->toolTip(); !tip.isEmpty()) {
        return text(normalizeTrackingName(tip));
    }
    if (const auto* tool = qobject_cast<const QToolButton*>(control);
        tool != nullptr && tool->defaultAction() != nullptr) {
        const QString action = normalizeTrackingName(cleanActionName(tool->defaultAction()->objectName()));
        if (!action.isEmpty()) {
            return text(action);
        }
    }
    QStringList parts;
    if (auto context = containerContext(control)) {
        parts << QString::fromStdString(*context);
    }
    parts << plainClassName(control->metaObject()->className());
    if (const QWidget* parent = control->parentWidget(); parent != nullptr && !control->isWindow()) {
        int index = -1;
        int siblings = 0;
        for (const auto* sibling : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (sibling->metaObject() == control->metaObject()) {
                if (sibling == control) {
                    index = siblings;
                }
                ++siblings;
            }
        }
        if (siblings >= 2 && index >= 0) {
            parts << QString::number(index);
        }
    }
    return text(parts.join(QLatin1Char('_')));
}

std::optional<std::string> MacOSAutoTracker::containerContext(const QWidget* view) const {
    if (view->isWindow()) {
        return windowContextName(view);
    }
    for (const QWidget* ancestor = view->parentWidget(); ancestor != nullptr && !ancestor->isWindow();
         ancestor = ancestor->parentWidget()) {
        if (usableName(ancestor->objectName())) {
            return text(normalizeTrackingName(ancestor->objectName()));
        }
        if (const auto* scroll = qobject_cast<const QScrollArea*>(ancestor);
            scroll != nullptr && scroll->widget() != nullptr) {
            return text(plainClassName(scroll->widget()->metaObject()->className()));
        }
    }
    return windowContextName(view->window());
}

std::string MacOSAutoTracker::windowContextName(const QWidget* window) const {
    if (usableName(window->objectName())) {
        return text(normalizeTrackingName(window->objectName()));
    }
    if (const QString title = windowTitleText(window); !title.isEmpty()) {
        return text(normalizeTrackingName(title));
    }
    return text(plainClassName(window->metaObject()->className()));
}

std::string MacOSAutoTracker::menuItemLabel(const QAction* item) const {
    if (usableName(item->objectName())) {
        return text(normalizeTrackingName(item->objectName()));
    }
    QStringList parts;
    QMenu* menu = menuOf(item);
    // Bounded, so a menu that somehow contains itself cannot loop forever.
    int depth = 0;
    for (QMenu* level = menu; level != nullptr && depth < 16; level = menuOf(level->menuAction()), ++depth) {
        if (const QString title = withoutMnemonic(level->title()); !title.isEmpty()) {
            parts.prepend(title);
        }
    }
    const auto index = menu != nullptr ? menu->actions().indexOf(const_cast<QAction*>(item)) : -1;
    if (const QString title = withoutMnemonic(item->text()); !title.isEmpty()) {
        parts << title;
    } else if (index >= 0) {
        parts << (item->isSeparator() ? QStringLiteral("separator_") : QStringLiteral("item_")) +
                     QString::number(index);
    }
    if (!parts.isEmpty()) {
        return text(normalizeTrackingName(parts.join(QLatin1Char('_'))));
    }
    return "unknown_menu_item";
}

} // namespace corvantesk
