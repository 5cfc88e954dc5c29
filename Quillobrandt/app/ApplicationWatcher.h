#pragma once

#include <QObject>

namespace quillobrandt {

// Sees every event of the application while it lives: installs itself as the application's event filter and
// removes itself when it goes. Subclasses override eventFilter(). GUI thread only.
class ApplicationWatcher : public QObject {
public:
    explicit ApplicationWatcher(QObject* parent = nullptr);
    ~ApplicationWatcher() override;
};

} // namespace quillobrandt
