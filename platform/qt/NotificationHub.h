#pragma once

#include <QObject>
#include <QSizeF>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace platform {

// The names the windows, menus and views use to talk to each other.
namespace notification {
inline const QString resizeWindow = QStringLiteral("ResizeWindow");
inline const QString showFeedback = QStringLiteral("ShowFeedback");
inline const QString showBackupWizard = QStringLiteral("ShowBackupWizard");
inline const QString databaseLoadingStarted = QStringLiteral("DatabaseLoadingStarted");
inline const QString databaseLoadingCompleted = QStringLiteral("DatabaseLoadingCompleted");
// User-info key of "ResizeWindow": the requested content size in points.
inline const QString sizeKey = QStringLiteral("size");
} // namespace notification

// String-named notifications with a user-info map, delivered on the hub's thread (the GUI thread).
// Posting on that thread calls the observers before post() returns; posting from any other thread
// queues the delivery to it.
class NotificationHub : public QObject {
    Q_OBJECT
public:
    // The application's hub. Created on first use and moved to the GUI thread; never destroyed.
    static NotificationHub& defaultCenter();

    explicit NotificationHub(QObject* parent = nullptr);

    void post(const QString& name, const QVariantMap& userInfo = {});

    // Calls `handler` for every notification named `name` until `context` is destroyed (or the returned
    // connection is disconnected). The handler runs on the context's thread.
    QMetaObject::Connection addObserver(const QString& name, QObject* context,
                                        std::function<void(const QVariantMap& userInfo)> handler);

signals:
    void posted(const QString& name, const QVariantMap& userInfo);
};

// The user info of "ResizeWindow".
QVariantMap resizeWindowUserInfo(const QSizeF& size);
// The size carried by a "ResizeWindow" user info; nullopt when the entry is missing or not a size.
std::optional<QSizeF> resizeWindowSize(const QVariantMap& userInfo);

} // namespace platform
