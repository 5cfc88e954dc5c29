#pragma once

#include <QString>
#include <QWidget>
#include <functional>

#include "Corvantesk/core/FeedbackCategory.h"
#include "Corvantesk/core/FeedbackClient.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quillobrandt {

class ButtonSpinner;

// The categories as the window offers them, in menu order, with their titles.
struct FeedbackCategoryChoice {
    const char* title;
    corvantesk::FeedbackCategory category;
};
const std::vector<FeedbackCategoryChoice>& feedbackCategoryChoices();

// The message trimmed of white space and line breaks is empty: nothing to send.
bool isBlankFeedback(const QString& text);
// What the window sends for one category: the message as typed, the trimmed e-mail (none when empty; never
// for praise), the screen "FeedbackView" for bug reports, no rating and no metadata.
corvantesk::FeedbackRequest makeFeedbackRequest(corvantesk::FeedbackCategory category, const QString& message,
                                                const QString& email);

// The "Send Feedback" window's content: category, message and optional e-mail, submitted through the
// telemetry SDK's feedback client without blocking the window.
class FeedbackView final : public QWidget {
    Q_OBJECT
public:
    // Hands one request to the service; the completion may run on any thread.
    using Submitter = std::function<void(corvantesk::FeedbackRequest, corvantesk::FeedbackClient::Completion)>;

    // Without a submitter, the SDK's shared feedback client (which fails every submission when the SDK
    // was not set up) receives the feedback.
    explicit FeedbackView(QWidget* parent = nullptr, Submitter submitter = {});

    corvantesk::FeedbackCategory feedbackCategory() const;
    bool isSubmitting() const { return isSubmitting_; }
    bool showingSuccess() const { return showingSuccess_; }
    bool showingError() const { return showingError_; }
    const QString& errorMessage() const { return errorMessage_; }

    QComboBox* categoryPicker() const { return categoryPicker_; }
    QPlainTextEdit* messageEditor() const { return messageEditor_; }
    QLineEdit* emailField() const { return emailField_; }
    QPushButton* sendButton() const { return sendButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

    // The send button's action.
    void send();
    void handleSubmitResult(const corvantesk::FeedbackResult& result);
    void handleSubmitError(const QString& description);
    void closeFeedbackWindow();

private:
    void updateSendButton();
    void submitFeedback();
    void showSuccessAlert();
    void showErrorAlert();

    Submitter submitter_;
    bool isSubmitting_ = false;
    bool showingSuccess_ = false;
    bool showingError_ = false;
    QString errorMessage_;
    bool submittedWithEmail_ = false;
    corvantesk::FeedbackCategory submittedCategory_ = corvantesk::FeedbackCategory::general;
    QComboBox* categoryPicker_ = nullptr;
    QPlainTextEdit* messageEditor_ = nullptr;
    QLineEdit* emailField_ = nullptr;
    QPushButton* sendButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    ButtonSpinner* spinner_ = nullptr;
};

} // namespace quillobrandt
