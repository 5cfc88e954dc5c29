#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class QTimer;
class QPushButton;

namespace quillobrandt {

class AppState;
class SymbolIcon;

// A small card of the Full Disk Access explanation: a symbol beside a title and a subtitle.
class InfoBox final : public QWidget {
    Q_OBJECT
public:
    InfoBox(const QString& icon, const QColor& iconColor, const QString& title, const QString& subtitle,
            const QColor& backgroundColor, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor backgroundColor_;
};

// Shown while the Messages database may not be read: explains why, opens the settings pane, and probes once
// a second until access is granted, then moves the application on by itself.
class PermissionRequestView final : public QWidget {
    Q_OBJECT
public:
    explicit PermissionRequestView(AppState& appState, QWidget* parent = nullptr);
    ~PermissionRequestView() override;

    bool isMonitoring() const { return monitoringTimer_ != nullptr; }
    bool showDetails() const { return showDetails_; }
    void setShowDetails(bool show);
    QPushButton* disclosureButton() const { return disclosureButton_; }
    QPushButton* openSettingsButton() const { return openSettingsButton_; }

    void startMonitoring();
    void checkPermission();
    void stopMonitoring();
    void advanceAfterGrant();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    AppState& appState_;
    QTimer* monitoringTimer_ = nullptr;
    bool showDetails_ = false;
    QPushButton* disclosureButton_ = nullptr;
    QPushButton* openSettingsButton_ = nullptr;
    QWidget* details_ = nullptr;
};

} // namespace quillobrandt
