#include "Quillobrandt/app/PreferencesView.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/Style.h"

namespace quillobrandt {

PreferencesView::PreferencesView(AppState& appState, QWidget* parent) : QWidget(parent), appState_(appState) {
    setObjectName(QStringLiteral("PreferencesView"));
    setFixedSize(500, 350);

    auto* appearance = new QGroupBox(QStringLiteral("Appearance"), this);
    auto* form = new QFormLayout(appearance);
    auto* radios = new QVBoxLayout;
    auto* group = new QButtonGroup(this);
    for (std::size_t index = 0; index < allAppThemes.size(); ++index) {
        auto* button = new QRadioButton(QString::fromStdString(rawValue(allAppThemes[index])), appearance);
        group->addButton(button, static_cast<int>(index));
        radios->addWidget(button);
        themeButtons_.push_back(button);
    }
    form->addRow(QStringLiteral("Message Theme:"), radios);
    auto* note = style::makeLabel(QStringLiteral("This theme applies to message bubbles in conversations. PDF exports "
                                                 "have separate theme settings."),
                                  style::font(style::TextStyle::caption), style::secondaryText());
    note->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
    form->addRow(note);

    // Linux keeps the Contacts answer itself, so this is where the user changes it later.
    contactsBox_ = new QCheckBox(QStringLiteral("Show contact names from the address book"), this);
    contactsBox_->setObjectName(QStringLiteral("contactsCheckBox"));

    doneButton_ = new QPushButton(QStringLiteral("Done"), this);
    makeDefaultButton(*doneButton_);
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(20, 0, 20, 20);
    bottom->addStretch();
    bottom->addWidget(doneButton_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 0);
    layout->setSpacing(16);
    // The settings from the top, "Done" in the bottom corner, as in any settings window.
    layout->addWidget(appearance);
    layout->addWidget(contactsBox_);
    layout->addStretch();
    layout->addLayout(bottom);

    showTheme();
    showContactsAnswer();
    connect(contactsBox_, &QCheckBox::toggled, this, [this](bool checked) { appState_.setContactsAllowed(checked); });
    connect(&appState_, &AppState::hasContactsAccessChanged, this, [this] { showContactsAnswer(); });
    connect(group, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked && id >= 0 && static_cast<std::size_t>(id) < allAppThemes.size()) {
            appState_.setAppTheme(allAppThemes[static_cast<std::size_t>(id)]);
        }
    });
    connect(&appState_, &AppState::appThemeChanged, this, [this] { showTheme(); });
    connect(doneButton_, &QPushButton::clicked, this, [] { style::closeWindowsTitled(QStringLiteral("Preferences")); });
    // The window is a plain widget, not a dialog, so Return needs its own shortcut.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, doneButton_, &QPushButton::click);
    }
}

bool PreferencesView::contactsAuthorised() {
    return PermissionManager::contactsAuthorizationStatus() == platform::ContactAuthorizationStatus::authorized;
}

void PreferencesView::showContactsAnswer() {
    const QSignalBlocker blocker(contactsBox_);
    contactsBox_->setChecked(contactsAuthorised());
}

void PreferencesView::showTheme() {
    for (std::size_t index = 0; index < allAppThemes.size(); ++index) {
        if (allAppThemes[index] == appState_.appTheme()) {
            themeButtons_[index]->setChecked(true);
        }
    }
}

} // namespace quillobrandt
