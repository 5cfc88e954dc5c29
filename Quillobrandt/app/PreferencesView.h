#pragma once

#include <QWidget>
#include <vector>

class QPushButton;
class QRadioButton;

namespace quillobrandt {

class AppState;

// The preferences window's content: the message theme, written straight into AppState (not kept between runs).
class PreferencesView final : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesView(AppState& appState, QWidget* parent = nullptr);

    // One radio button per theme, in the themes' order.
    const std::vector<QRadioButton*>& themeButtons() const { return themeButtons_; }
    QPushButton* doneButton() const { return doneButton_; }

private:
    void showTheme();

    AppState& appState_;
    std::vector<QRadioButton*> themeButtons_;
    QPushButton* doneButton_ = nullptr;
};

} // namespace quillobrandt
