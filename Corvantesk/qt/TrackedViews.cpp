#include "Corvantesk/qt/TrackedViews.h"

#include <QEvent>

#include "Corvantesk/Corvantesk.h"

namespace corvantesk {
namespace {

// Showing a widget the program had hidden; not a window coming back from being minimised.
bool appeared(const QObject* watched, const QObject* target, const QEvent* event) {
    return watched == target && event->type() == QEvent::Show && !event->spontaneous();
}

void reportClick(const std::string& trackId, const std::optional<std::string>& trackLabel,
                 const std::optional<std::string>& screen, std::optional<AnyMap> properties) {
    if (auto client = Corvantesk::sharedOrNil()) {
        client->analytics().trackButtonClick(trackId, trackLabel, screen, std::move(properties));
    }
}

} // namespace

CorvanteskScreenTracker::CorvanteskScreenTracker(QWidget* content, std::string screenName,
                                                 std::optional<std::string> screenLabel,
                                                 std::optional<AnyMap> properties)
    : QObject(content), screenName_(std::move(screenName)), screenLabel_(std::move(screenLabel)),
      properties_(std::move(properties)) {
    content->installEventFilter(this);
}

bool CorvanteskScreenTracker::eventFilter(QObject* watched, QEvent* event) {
    if (appeared(watched, parent(), event)) {
        if (auto client = Corvantesk::sharedOrNil()) {
            client->analytics().trackScreenView(screenName_, screenLabel_, properties_);
        }
    }
    return false;
}

TrackedButton::TrackedButton(const QString& text, std::string trackId, std::optional<std::string> trackLabel,
                             std::optional<std::string> screen, std::optional<AnyMap> properties,
                             std::function<void()> action, QWidget* parent)
    : QPushButton(text, parent), trackId_(std::move(trackId)), trackLabel_(std::move(trackLabel)),
      screen_(std::move(screen)), properties_(std::move(properties)), action_(std::move(action)) {
    setProperty("corvanteskReportsItself", true);
    // The first connection of the button: the click is reported before any other slot sees it.
    connect(this, &QAbstractButton::clicked, this, [this] {
        reportClick(trackId_, trackLabel_, screen_, properties_);
        if (action_) {
            action_();
        }
    });
}

TrackedToggle::TrackedToggle(const QString& text, std::string trackId, std::optional<std::string> trackLabel,
                             std::optional<std::string> screen, QWidget* parent)
    : QCheckBox(text, parent), trackId_(std::move(trackId)), trackLabel_(std::move(trackLabel)),
      screen_(std::move(screen)) {
    setProperty("corvanteskReportsItself", true);
    // clicked carries changes made through the box only, never those of setChecked().
    connect(this, &QAbstractButton::clicked, this, [this](bool checked) {
        reportClick(trackId_, trackLabel_, screen_, AnyMap{{"enabled", checked}});
    });
}

TrackedNavigationLink::TrackedNavigationLink(QWidget* destination, std::optional<std::string> trackFrom,
                                             std::string trackTo)
    : QObject(destination), trackFrom_(std::move(trackFrom)), trackTo_(std::move(trackTo)) {
    destination->installEventFilter(this);
}

bool TrackedNavigationLink::eventFilter(QObject* watched, QEvent* event) {
    if (appeared(watched, parent(), event)) {
        if (auto client = Corvantesk::sharedOrNil()) {
            if (trackFrom_) {
                client->health().addBreadcrumb(Breadcrumb::navigation(*trackFrom_, trackTo_));
            }
            client->analytics().trackScreenView(trackTo_);
        }
    }
    return false;
}

} // namespace corvantesk
