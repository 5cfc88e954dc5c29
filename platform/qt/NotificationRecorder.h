#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <utility>
#include <vector>

#include "platform/qt/NotificationHub.h"

namespace platform {

// Test helper: records every notification posted on a hub while it lives.
class NotificationRecorder : public QObject {
public:
    explicit NotificationRecorder(NotificationHub& hub = NotificationHub::defaultCenter()) {
        connect(&hub, &NotificationHub::posted, this,
                [this](const QString& name, const QVariantMap& userInfo) { posted_.emplace_back(name, userInfo); });
    }

    const std::vector<std::pair<QString, QVariantMap>>& posted() const { return posted_; }
    QStringList names() const {
        QStringList result;
        for (const auto& entry : posted_) {
            result.append(entry.first);
        }
        return result;
    }
    void clear() { posted_.clear(); }

private:
    std::vector<std::pair<QString, QVariantMap>> posted_;
};

} // namespace platform
