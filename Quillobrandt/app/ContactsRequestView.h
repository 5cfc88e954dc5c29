#pragma once

#include <QWidget>
#include <chrono>

class QLabel;
class QPushButton;

namespace quillobrandt {

class AppState;
class ButtonSpinner;
class SymbolIcon;

// The optional onboarding step asking for Contacts access, so names can replace phone numbers.
class ContactsRequestView final : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds grantedDismissDelay{500};

    explicit ContactsRequestView(AppState& appState, QWidget* parent = nullptr);

    bool isRequesting() const { return isRequesting_; }
    QPushButton* enableButton() const { return enableButton_; }
    QPushButton* skipButton() const { return skipButton_; }

    void requestAccess();
    void handleAccessResult(bool granted);
    void dismissRequest();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setRequesting(bool requesting);

    AppState& appState_;
    bool isRequesting_ = false;
    QPushButton* enableButton_ = nullptr;
    QPushButton* skipButton_ = nullptr;
    ButtonSpinner* spinner_ = nullptr;
};

} // namespace quillobrandt
