#pragma once

#include <QSize>
#include <QWidget>
#include <functional>

class QVBoxLayout;

namespace platform {
class NotificationHub;
}

namespace quillobrandt {

class AppState;

// The screens of the main window, in the order they are tested.
enum class Screen { splash, fullDiskAccess, contacts, main };

// Which screen the onboarding flags call for: the splash hides everything, Full Disk Access hides Contacts.
Screen chooseScreen(bool showSplash, bool hasFullDiskAccess, bool showContactsRequest);
// The content size the window takes when `screen` is shown.
QSize contentSize(Screen screen, bool hasConversations);

// The main window's root: shows exactly one screen, chosen from AppState's onboarding flags, and asks the
// window to fit it by posting "ResizeWindow" whenever a screen is shown. Holds no state of its own.
class ContentSwitcher final : public QWidget {
    Q_OBJECT
public:
    using ScreenFactory = std::function<QWidget*(QWidget* parent)>;

    // `mainFactory` builds the main content; `hub` receives "ResizeWindow" (the default centre when null).
    ContentSwitcher(AppState& appState, ScreenFactory mainFactory, platform::NotificationHub* hub = nullptr,
                    QWidget* parent = nullptr);

    Screen currentScreen() const { return current_; }
    QWidget* currentWidget() const { return widget_; }

signals:
    void screenChanged(quillobrandt::Screen screen);

private:
    void update();
    QWidget* makeScreen(Screen screen);

    AppState& appState_;
    ScreenFactory mainFactory_;
    platform::NotificationHub& hub_;
    QVBoxLayout* layout_ = nullptr;
    QWidget* widget_ = nullptr;
    Screen current_ = Screen::splash;
    bool hasScreen_ = false;
};

} // namespace quillobrandt
