#pragma once

#include <QObject>

namespace corvantesk {

class MacOSAutoTracker;

// The application-wide event filter of the automatic tracker: passes window activation, hiding and title
// changes, and the events that are about to click a button or trigger an action, to the tracker. It never
// consumes an event. Lives on the UI thread.
class AutoTrackerEventFilter : public QObject {
    Q_OBJECT
public:
    explicit AutoTrackerEventFilter(MacOSAutoTracker& tracker);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buttonMouseRelease(QObject* watched, QEvent* event);
    void menuMouseRelease(QObject* watched, QEvent* event);
    void keyPress(QObject* watched, QEvent* event);
    void keyRelease(QObject* watched, QEvent* event);
    // Combo boxes, tab bars and menus report a choice through a signal: listened to from the first time the
    // user can reach them (shown, focused or pressed), for as long as this filter lives.
    void listenToChoices(QObject* watched);

    MacOSAutoTracker& tracker_;
    const int generation_; // tells this filter's connections from those of an earlier one
};

} // namespace corvantesk
