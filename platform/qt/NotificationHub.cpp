#include "platform/qt/NotificationHub.h"

#include <cmath>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSize>
#include <QThread>

namespace platform {

NotificationHub& NotificationHub::defaultCenter() {
    static NotificationHub* hub = [] {
        auto* created = new NotificationHub; // deliberately never destroyed: posts may come during exit
        if (auto* app = QCoreApplication::instance(); app != nullptr && created->thread() != app->thread()) {
            created->moveToThread(app->thread());
        }
        return created;
    }();
    return *hub;
}

NotificationHub::NotificationHub(QObject* parent) : QObject(parent) {}

void NotificationHub::post(const QString& name, const QVariantMap& userInfo) {
    if (QThread::currentThread() == thread()) {
        emit posted(name, userInfo);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, name, userInfo] { emit posted(name, userInfo); }, Qt::QueuedConnection);
}

QMetaObject::Connection NotificationHub::addObserver(const QString& name, QObject* context,
                                                     std::function<void(const QVariantMap&)> handler) {
    return connect(this, &NotificationHub::posted, context,
                   [name, handler = std::move(handler)](const QString& postedName, const QVariantMap& userInfo) {
                       if (postedName == name) {
                           handler(userInfo);
                       }
                   });
}

QVariantMap resizeWindowUserInfo(const QSizeF& size) {
    return {{notification::sizeKey, QVariant::fromValue(size)}};
}

std::optional<QSizeF> resizeWindowSize(const QVariantMap& userInfo) {
    const auto it = userInfo.constFind(notification::sizeKey);
    if (it == userInfo.constEnd()) {
        return std::nullopt;
    }
    const QMetaType type = it->metaType();
    QSizeF size;
    if (type == QMetaType::fromType<QSizeF>()) {
        size = it->toSizeF();
    } else if (type == QMetaType::fromType<QSize>()) {
        size = QSizeF(it->toSize());
    } else {
        return std::nullopt;
    }
    // A window of no size (or a NaN one) cannot be shown and could not be got back from.
    const bool usable =
        std::isfinite(size.width()) && std::isfinite(size.height()) && size.width() >= 1.0 && size.height() >= 1.0;
    return usable ? std::optional<QSizeF>(size) : std::nullopt;
}

} // namespace platform
