#pragma once

#include <QWidget>
#include <vector>

class QCheckBox;
class QPushButton;
class QRadioButton;

namespace quillobrandt {

class AppState;

// The preferences window's content: the message theme, written straight into AppState (not kept between runs),
// and whether contact names are read from the address book (kept as the Contacts answer).
class PreferencesView final : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesView(AppState& appState, QWidget* parent = nullptr);

    // One radio button per theme, in the themes' order.
    const std::vector<QRadioButton*>& themeButtons() const { return themeButtons_; }
    QPushButton* doneButton() const { return doneButton_; }
    // "Show contact names from the address book": checked while Contacts are authorised.
    QCheckBox* contactsCheckBox() const { return contactsBox_; }

private:
    static bool contactsAuthorised();
    void showTheme();
    void showContactsAnswer();

    AppState& appState_;
    std::vector<QRadioButton*> themeButtons_;
    QPushButton* doneButton_ = nullptr;
    QCheckBox* contactsBox_ = nullptr;
};

} // namespace quillobrandt
