#include "Quillobrandt/app/ApplicationWatcher.h"

#include <QCoreApplication>

namespace quillobrandt {

ApplicationWatcher::ApplicationWatcher(QObject* parent) : QObject(parent) {
    QCoreApplication::instance()->installEventFilter(this);
}

ApplicationWatcher::~ApplicationWatcher() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeEventFilter(this);
    }
}

} // namespace quillobrandt
