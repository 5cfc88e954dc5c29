#include "Quillobrandt/wizard/SaveExtractionDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/wizard/WizardWidgets.h"

namespace quillobrandt {

SaveExtractionDialog::SaveExtractionDialog(const QString& extractionName,
                                           std::function<void(const QString& name)> onSave,
                                           std::function<void()> onSkip, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Quillobrandt"));
    setFixedWidth(450);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(16);
    column->addWidget(wizard::symbolView(QStringLiteral("square.and.arrow.down.fill"), 48, wizard::accentColor(), this),
                      0, Qt::AlignHCenter);
    column->addWidget(wizard::textLabel(QStringLiteral("Save Extraction?"), wizard::TextStyle::title2Bold), 0,
                      Qt::AlignHCenter);
    auto* explanation = wizard::textLabel(QStringLiteral("Would you like to save this extracted backup so you can "
                                                         "quickly load it again later without re-extracting?"),
                                          wizard::TextStyle::bodySecondary);
    explanation->setAlignment(Qt::AlignHCenter);
    column->addWidget(explanation);

    // The name's caption sits with its field, closer than the dialog's sections sit to each other.
    auto* nameColumn = new QVBoxLayout;
    nameColumn->setSpacing(8);
    auto* nameCaption = wizard::textLabel(QStringLiteral("Name"), wizard::TextStyle::subheadlineMedium);
    nameCaption->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    nameColumn->addWidget(nameCaption);
    nameField_ = new QLineEdit(extractionName, this);
    nameField_->setObjectName(QStringLiteral("extractionNameField"));
    nameField_->setPlaceholderText(QStringLiteral("Enter a name for this extraction"));
    nameColumn->addWidget(nameField_);
    column->addLayout(nameColumn);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    skipButton_ = new QPushButton(QStringLiteral("Skip"), this);
    saveButton_ = new QPushButton(QStringLiteral("Save"), this);
    makeDefaultButton(*saveButton_);
    buttons->addWidget(skipButton_);
    buttons->addWidget(saveButton_);
    column->addLayout(buttons);
    // The explanation wraps at the fixed width: at least that tall, so a small screen never crushes the field.
    setMinimumHeight(column->totalHeightForWidth(width()));

    const auto updateSave = [this] { saveButton_->setEnabled(!nameField_->text().isEmpty()); };
    connect(nameField_, &QLineEdit::textChanged, this, updateSave);
    updateSave();
    connect(saveButton_, &QPushButton::clicked, this, [this, onSave = std::move(onSave)] {
        if (!nameField_->text().isEmpty()) {
            onSave(nameField_->text());
        }
    });
    connect(skipButton_, &QPushButton::clicked, this, [onSkip = std::move(onSkip)] { onSkip(); });
}

QString SaveExtractionDialog::extractionName() const {
    return nameField_->text();
}

} // namespace quillobrandt
