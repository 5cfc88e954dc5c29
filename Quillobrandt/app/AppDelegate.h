#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <memory>
#include <thread>

#include "Corvantesk/core/CorvanteskOptions.h"
#include "Quillobrandt/app/ContentSwitcher.h"

namespace platform {
class NotificationHub;
}

namespace quillobrandt {

class AppState;
class CheckForUpdatesViewModel;
class GoogleAnalyticsManager;
class UpdaterBackend;

// The SDK configuration used at launch: the SDK's defaults, the deployment's base address, no heartbeats.
corvantesk::CorvanteskOptions makeLaunchSdkOptions(const std::string& appId, const std::string& apiKey);

// The main window: carries the menu bar; its content size is set only through "ResizeWindow".
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    // Makes `content` the window's content (it scrolls where the screen is too small for it).
    void setContent(QWidget* content);
    // Gives the content the size `size` (bounded by the screen), keeping the window's top-left corner where it
    // is unless that would put part of the window off the screen.
    void resizeContent(const QSize& size);
    QSize contentSize() const;
};

// Owns the one AppState and every window: the main window, whose content is the ContentSwitcher, and the
// preferences, feedback and About windows. Carries out the menu commands. GUI thread only.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    // `hub` and `analytics` default to the shared ones; tests pass their own. `updater` null: no
    // "Check for Updates…" item.
    explicit AppDelegate(ContentSwitcher::ScreenFactory mainFactory, platform::NotificationHub* hub = nullptr,
                         GoogleAnalyticsManager* analytics = nullptr,
                         std::shared_ptr<UpdaterBackend> updater = nullptr, QObject* parent = nullptr);
    ~AppDelegate() override;

    AppState& appState() { return *appState_; }

    // Start-up: telemetry SDK (only with both keys), analytics launch event, logger, main window, observers.
    void applicationDidFinishLaunching();
    void setupMainWindow();
    void setupNotificationObservers();

    void showPreferences();
    void showFeedbackWindow();
    void showAbout();
    void reloadMacMessages();
    void openDatabase();
    void openDatabaseWithAttachments();
    void loadIPhoneBackup();
    void emailLogsToSupport();

    MainWindow* window() const { return window_.get(); }
    QWidget* preferencesWindow() const { return preferencesWindow_; }
    QWidget* feedbackWindow() const { return feedbackWindow_; }
    QWidget* aboutWindow() const { return aboutWindow_; }
    ContentSwitcher* contentSwitcher() const { return switcher_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    void windowWillClose(QObject* window);
    void handleResize(const QVariantMap& userInfo);
    // `closesOnEscape`: windows with nothing to lose (the feedback view has its own Escape, its Cancel).
    QWidget* showSmallWindow(QPointer<QWidget>& field, const QSize& size, const QString& title,
                             const std::function<QWidget*(QWidget* window)>& makeContent, bool closesOnEscape = false);

    platform::NotificationHub& hub_;
    GoogleAnalyticsManager& analytics_;
    ContentSwitcher::ScreenFactory mainFactory_;
    std::shared_ptr<UpdaterBackend> updater_;
    std::unique_ptr<AppState> appState_; // before the windows: they go first
    std::unique_ptr<MainWindow> window_;
    QPointer<QWidget> preferencesWindow_;
    QPointer<QWidget> feedbackWindow_;
    QPointer<QWidget> aboutWindow_;
    ContentSwitcher* switcher_ = nullptr;
    CheckForUpdatesViewModel* updatesModel_ = nullptr;
    std::jthread sdkStarter_;
};

} // namespace quillobrandt
