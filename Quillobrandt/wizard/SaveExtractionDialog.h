#pragma once

#include <QDialog>

#include <functional>

class QLineEdit;
class QPushButton;

namespace quillobrandt {

// Asks whether to keep an extraction under a name. "Save" is disabled while the name is empty.
class SaveExtractionDialog : public QDialog {
    Q_OBJECT
public:
    SaveExtractionDialog(const QString& extractionName, std::function<void(const QString& name)> onSave,
                         std::function<void()> onSkip, QWidget* parent = nullptr);

    QString extractionName() const;
    QLineEdit* nameField() const { return nameField_; }
    QPushButton* saveButton() const { return saveButton_; }
    QPushButton* skipButton() const { return skipButton_; }

private:
    QLineEdit* nameField_;
    QPushButton* saveButton_;
    QPushButton* skipButton_;
};

} // namespace quillobrandt
