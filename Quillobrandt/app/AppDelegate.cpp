#include "Quillobrandt/app/AppDelegate.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QMenuBar>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/AboutView.h"
#include "Quillobrandt/app/ActivationKeeper.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/AppSupportMailer.h"
#include "Quillobrandt/app/FeedbackView.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PreferencesView.h"
#include "Quillobrandt/app/QuitEverywhere.h"
#include "Quillobrandt/app/ScreenFit.h"
#include "Quillobrandt/app/UpdateChecking.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/Paths.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {
namespace {

void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

std::string bundleText(const char* key) {
    return platform::bundleInfoValue(key).value_or(std::string());
}

const QStringList databaseFilters{QStringLiteral("Messages database (*.db)"), QStringLiteral("All files (*)")};

void centreOnScreen(QWidget* window) {
    const QRect available = availableScreenArea(*window);
    if (!available.isValid()) {
        return;
    }
    QRect frame = window->frameGeometry();
    frame.moveCenter(available.center());
    window->move(keepFrameOnScreen(frame, available).topLeft());
}

QAction* addItem(QMenu* menu, const QString& text, const QKeySequence& shortcut, QObject* receiver,
                 std::function<void()> action) {
    QAction* item = menu->addAction(text);
    item->setShortcut(shortcut);
    QObject::connect(item, &QAction::triggered, receiver, [action = std::move(action)] { action(); });
    return item;
}

} // namespace

corvantesk::CorvanteskOptions makeLaunchSdkOptions(const std::string& appId, const std::string& apiKey) {
    corvantesk::CorvanteskOptions options;
    options.appId = appId;
    options.apiKey = apiKey;
    options.baseUrl = platform::bundleTelemetryBaseUrl();
    options.debug = false;
    options.isTest = false;
    options.environment = "production";
    options.health.enableHeartbeat = false;
    options.batchSize = 20;
    options.flushInterval = 30.0;
    options.maxOfflineQueueSize = 500;
    return options;
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Quillobrandt"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
}

void MainWindow::setContent(QWidget* content) {
    // The content keeps its designed size; where the screen is smaller than that, it scrolls in the window.
    auto* scroll = makeContentScrollArea(this);
    scroll->setObjectName(QStringLiteral("MainWindowContent"));
    scroll->setWidget(content);
    setCentralWidget(scroll);
}

void MainWindow::resizeContent(const QSize& designed) {
    const int menuHeight = menuWidget() != nullptr ? menuWidget()->sizeHint().height() : 0;
    const QRect available = availableScreenArea(*this);
    // A fixed-size window larger than its screen (a small or scaled one) would put its lower rows, or its title
    // and menu bars, out of reach: it gets what fits, and the content scrolls.
    // Content that shrinks to the window (the conversation list) scrolls no more than its least size asks: a scroll
    // bar's room it would never fill would stay a blank strip at the window's edge.
    QSize least;
    if (const auto* scroll = qobject_cast<const QScrollArea*>(centralWidget()); scroll && scroll->widget()) {
        least = scroll->widget()->minimumSizeHint().expandedTo(scroll->widget()->minimumSize());
    }
    const QSize fitted = fitContentToScreen(designed, QSize(0, menuHeight), frameExtent(*this), available,
                                            style()->pixelMetric(QStyle::PM_ScrollBarExtent), least);
    if (QWidget* content = centralWidget()) {
        content->setFixedSize(fitted);
    }
    const QPoint topLeft = pos();
    if (layout() != nullptr) {
        layout()->activate();
    }
    setFixedSize(fitted.width(), fitted.height() + menuHeight);
    move(topLeft);
    // The top edge stays where it was unless the grown window would run off the bottom of the screen: then it
    // is lifted just enough, never above the screen's free area.
    const QRect frame(frameGeometry().topLeft(), size() + frameExtent(*this));
    move(keepFrameOnScreen(frame, available).topLeft());
}

QSize MainWindow::contentSize() const {
    return centralWidget() != nullptr ? centralWidget()->size() : QSize();
}

AppDelegate::AppDelegate(ContentSwitcher::ScreenFactory mainFactory, platform::NotificationHub* hub,
                         GoogleAnalyticsManager* analytics, std::shared_ptr<UpdaterBackend> updater, QObject* parent)
    : QObject(parent), hub_(hub != nullptr ? *hub : platform::NotificationHub::defaultCenter()),
      analytics_(analytics != nullptr ? *analytics : GoogleAnalyticsManager::shared()),
      mainFactory_(std::move(mainFactory)), updater_(std::move(updater)),
      appState_(std::make_unique<AppState>(&hub_, &analytics_)) {}

AppDelegate::~AppDelegate() {
    delete preferencesWindow_.data();
    delete feedbackWindow_.data();
    delete aboutWindow_.data();
    window_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    const std::string appId = bundleText("CorvanteskAppId");
    const std::string apiKey = bundleText("CorvanteskApiKey");
    if (!appId.empty() && !apiKey.empty()) {
        corvantesk::Corvantesk::initialize(makeLaunchSdkOptions(appId, apiKey));
        // Starting reads what a crash left behind; it must not hold up the first window.
        sdkStarter_ = std::jthread([] {
            corvantesk::ThreadSignalStack signalStack;
            corvantesk::Corvantesk::start();
        });
        corvantesk::Corvantesk::track("app_launched", "lifecycle");
    }
    analytics_.trackEvent("app_launched");
    Logger::shared();
    // Its last resort is a message box, which only the application can show.
    Logger::shared().setSupportMailer(std::make_unique<AppSupportMailer>());
    setupNotificationObservers();
    setupMainWindow();
}

void AppDelegate::setupMainWindow() {
    window_ = std::make_unique<MainWindow>();
    // The menu shortcuts work again as soon as a sheet or a small window closes, whatever closed it.
    new ActivationKeeper(window_.get(), window_.get());
    buildMenus();
    switcher_ = new ContentSwitcher(*appState_, mainFactory_, &hub_, window_.get());
    window_->setContent(switcher_);
    window_->resizeContent(QSize(550, 450));
    centreOnScreen(window_.get());
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void AppDelegate::buildMenus() {
    QMenu* file = window_->menuBar()->addMenu(QStringLiteral("&File"));
    addItem(file, QStringLiteral("Reload Mac Messages"), QKeySequence(QStringLiteral("Ctrl+R")), this,
            [this] { reloadMacMessages(); });
    addItem(file, QStringLiteral("Load iPhone Backup..."), QKeySequence(QStringLiteral("Ctrl+Shift+I")), this,
            [this] { loadIPhoneBackup(); });
    addItem(file, QStringLiteral("Open Database..."), QKeySequence(QStringLiteral("Ctrl+O")), this,
            [this] { openDatabase(); });
    addItem(file, QStringLiteral("Open Database with Attachments..."), QKeySequence(), this,
            [this] { openDatabaseWithAttachments(); });
    file->addSeparator();
    QAction* preferences = addItem(file, QStringLiteral("Preferences..."), QKeySequence(QStringLiteral("Ctrl+,")), this,
                                   [this] { showPreferences(); });
    preferences->setMenuRole(QAction::PreferencesRole);
    if (updater_) {
        updatesModel_ = new CheckForUpdatesViewModel(updater_, this);
        QAction* updates = makeCheckForUpdatesAction(*updatesModel_, file);
        updates->setMenuRole(QAction::ApplicationSpecificRole);
        file->addAction(updates);
    }
    file->addSeparator();
    QAction* quit = addItem(file, QStringLiteral("Quit"), QKeySequence(QStringLiteral("Ctrl+Q")), this,
                            [] { QApplication::closeAllWindows(); });
    quit->setMenuRole(QAction::QuitRole);
    new QuitEverywhere(quit, window_.get());

    QMenu* help = window_->menuBar()->addMenu(QStringLiteral("&Help"));
    addItem(help, QStringLiteral("Send Feedback..."), QKeySequence(QStringLiteral("Ctrl+Shift+F")), this,
            [this] { showFeedbackWindow(); });
    addItem(help, QStringLiteral("Email Logs to Support"), QKeySequence(QStringLiteral("Ctrl+Shift+L")), this,
            [this] { emailLogsToSupport(); });
    help->addSeparator();
    QAction* about = addItem(help, QStringLiteral("About Quillobrandt"), QKeySequence(), this, [this] { showAbout(); });
    about->setMenuRole(QAction::AboutRole);
}

void AppDelegate::setupNotificationObservers() {
    hub_.addObserver(platform::notification::resizeWindow, this,
                     [this](const QVariantMap& userInfo) { handleResize(userInfo); });
    hub_.addObserver(platform::notification::showFeedback, this, [this](const QVariantMap&) { showFeedbackWindow(); });
}

void AppDelegate::handleResize(const QVariantMap& userInfo) {
    const auto size = platform::resizeWindowSize(userInfo);
    if (!size || !window_) {
        return;
    }
    window_->resizeContent(size->toSize());
}

QWidget* AppDelegate::showSmallWindow(QPointer<QWidget>& field, const QSize& size, const QString& title,
                                      const std::function<QWidget*(QWidget* window)>& makeContent,
                                      bool closesOnEscape) {
    if (field && field->isVisible()) {
        field->raise();
        field->activateWindow();
        return field;
    }
    delete field.data();
    auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(title);
    // As large as designed where the screen has room; on a small or scaled screen the content scrolls.
    window->setFixedSize(fitContentToScreen(size, QSize(), kFrameAllowance, availableScreenArea(*window),
                                            window->style()->pixelMetric(QStyle::PM_ScrollBarExtent)));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* scroll = makeContentScrollArea(window);
    scroll->setAlignment(Qt::AlignCenter);
    auto* holder = new QWidget(scroll);
    auto* holderLayout = new QVBoxLayout(holder);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    // In the scroll area before the content is made: moving a holder that already held the focus would clear it, and
    // a content that puts the keyboard somewhere (the feedback's message) would open with it elsewhere.
    scroll->setWidget(holder);
    holderLayout->addWidget(makeContent(holder), 0, Qt::AlignCenter);
    layout->addWidget(scroll);
    if (closesOnEscape) {
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
        escape->setContext(Qt::WindowShortcut);
        connect(escape, &QShortcut::activated, window, &QWidget::close);
    }
    window->installEventFilter(this);
    centreOnScreen(window);
    window->show();
    window->raise();
    window->activateWindow();
    field = window;
    return window;
}

void AppDelegate::showPreferences() {
    // The window fits its fixed-size content, as it would around a view of fixed frame.
    showSmallWindow(
        preferencesWindow_, QSize(500, 350), QStringLiteral("Preferences"),
        [this](QWidget* window) { return new PreferencesView(*appState_, window); }, true);
}

void AppDelegate::showFeedbackWindow() {
    showSmallWindow(feedbackWindow_, QSize(450, 480), QStringLiteral("Send Feedback"),
                    [](QWidget* window) { return new FeedbackView(window); });
}

void AppDelegate::showAbout() {
    showSmallWindow(
        aboutWindow_, QSize(320, 420), QStringLiteral("About Quillobrandt"),
        [](QWidget* window) { return new AboutView(window); }, true);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close) {
        windowWillClose(watched);
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::windowWillClose(QObject* window) {
    for (QPointer<QWidget>* field : {&preferencesWindow_, &feedbackWindow_, &aboutWindow_}) {
        if (field->data() == window) {
            *field = nullptr;
            return;
        }
    }
}

void AppDelegate::reloadMacMessages() {
    logInfo("🔄 User selected 'Reload Mac Messages' from menu");
    appState_->loadDefaultDatabase();
}

void AppDelegate::loadIPhoneBackup() {
    logInfo("📱 User selected 'Load iPhone Backup...' from menu");
    hub_.post(platform::notification::showBackupWizard);
}

void AppDelegate::openDatabase() {
    logInfo("📂 User selected 'Open Database...' from menu");
    const auto messagesFolder = platform::homeDir() / "Library" / "Messages";
    std::error_code error;
    const bool hasMessagesFolder = std::filesystem::is_directory(messagesFolder, error);
    const auto chosen = platform::panelPresenter()->chooseFileToOpen(
        {QStringLiteral("Select a Messages database file (chat.db or sms.db)"),
         hasMessagesFolder ? QString::fromStdString(messagesFolder.string()) : QString(), databaseFilters,
         QStringLiteral("Open")});
    if (!chosen) {
        return;
    }
    logInfo("📂 User selected database: " + chosen->toStdString());
    appState_->loadCustomDatabase(chosen->toStdString());
}

void AppDelegate::openDatabaseWithAttachments() {
    logInfo("📂 User selected 'Open Database with Attachments...' from menu");
    const auto database =
        platform::panelPresenter()->chooseFileToOpen({QStringLiteral("Step 1: Select the database file"), QString(),
                                                      databaseFilters, QStringLiteral("Choose Database")});
    if (!database) {
        return;
    }
    logInfo("📂 User selected database: " + database->toStdString());
    const std::filesystem::path databasePath = database->toStdString();
    const auto folder = platform::panelPresenter()->chooseFolder(
        {QStringLiteral("Step 2: Select the folder containing attachments\n(Original backup folder or extracted_sms "
                        "folder)"),
         QString::fromStdString(databasePath.parent_path().string()), QStringLiteral("Choose Folder")});
    if (folder) {
        logInfo("📂 User selected attachment folder: " + folder->toStdString());
        appState_->loadCustomDatabase(databasePath, std::filesystem::path(folder->toStdString()));
    } else {
        logInfo("ℹ️ User skipped attachment folder selection");
        appState_->loadCustomDatabase(databasePath);
    }
}

void AppDelegate::emailLogsToSupport() {
    Logger::shared().emailLogsToSupport();
}

} // namespace quillobrandt
