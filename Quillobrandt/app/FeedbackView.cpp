#include "Quillobrandt/app/FeedbackView.h"

#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <exception>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/ButtonSpinner.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "platform/core/BundleInfo.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {
namespace {

using corvantesk::FeedbackCategory;
using corvantesk::FeedbackRequest;
using style::divider;

const QString feedbackWindowTitle = QStringLiteral("Send Feedback");

} // namespace

const std::vector<FeedbackCategoryChoice>& feedbackCategoryChoices() {
    static const std::vector<FeedbackCategoryChoice> choices{
        {"General Feedback", FeedbackCategory::general},
        {"Bug Report", FeedbackCategory::bug},
        {"Feature Request", FeedbackCategory::featureRequest},
        {"Support Request", FeedbackCategory::support},
        {"Praise", FeedbackCategory::praise},
    };
    return choices;
}

bool isBlankFeedback(const QString& text) {
    return text.trimmed().isEmpty();
}

FeedbackRequest makeFeedbackRequest(FeedbackCategory category, const QString& message, const QString& email) {
    const std::string text = message.toStdString();
    const QString trimmedEmail = email.trimmed();
    const std::optional<std::string> address =
        trimmedEmail.isEmpty() ? std::nullopt : std::optional<std::string>(trimmedEmail.toStdString());
    switch (category) {
    case FeedbackCategory::general:
        return FeedbackRequest::general(text, address);
    case FeedbackCategory::bug:
        return FeedbackRequest::bugReport(text, address, std::string("FeedbackView"));
    case FeedbackCategory::featureRequest:
        return FeedbackRequest::featureRequest(text, address);
    case FeedbackCategory::praise:
        return FeedbackRequest::praise(text);
    case FeedbackCategory::support:
        return FeedbackRequest::support(text, address);
    }
    return FeedbackRequest::general(text, address);
}

FeedbackView::FeedbackView(QWidget* parent, Submitter submitter) : QWidget(parent), submitter_(std::move(submitter)) {
    setObjectName(QStringLiteral("FeedbackView"));
    setFixedSize(450, 480);
    if (!submitter_) {
        submitter_ = [](FeedbackRequest request, corvantesk::FeedbackClient::Completion completion) {
            if (!corvantesk::Corvantesk::isInitialized()) {
                // A build without telemetry keys has no feedback service: say where to write instead.
                completion(corvantesk::FeedbackResult::failed(
                    "The feedback service is not configured. Please write to " + platform::bundleSupportEmail() + "."));
                return;
            }
            corvantesk::Corvantesk::feedback()->submitAsync(std::move(request), std::move(completion));
        };
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(0, 20, 0, 16);
    header->setSpacing(8);
    header->addWidget(new SymbolIcon(QStringLiteral("bubble.left.and.bubble.right.fill"), 40, style::accent()), 0,
                      Qt::AlignHCenter);
    QFont titleFont = style::font(style::TextStyle::title2);
    titleFont.setWeight(QFont::DemiBold);
    auto* title = style::makeLabel(feedbackWindowTitle, titleFont, style::primaryText());
    title->setAlignment(Qt::AlignCenter);
    header->addWidget(title);
    auto* subtitle = style::makeLabel(QStringLiteral("Help us improve Quillobrandt"),
                                      style::font(style::TextStyle::subheadline), style::secondaryText());
    subtitle->setAlignment(Qt::AlignCenter);
    header->addWidget(subtitle);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    auto* form = new QVBoxLayout;
    form->setContentsMargins(20, 12, 20, 12);
    auto* categoryRow = new QFormLayout;
    categoryRow->setHorizontalSpacing(8);
    categoryPicker_ = new QComboBox(this);
    for (const auto& choice : feedbackCategoryChoices()) {
        categoryPicker_->addItem(QString::fromUtf8(choice.title));
    }
    categoryRow->addRow(QStringLiteral("Category:"), categoryPicker_);
    form->addLayout(categoryRow);

    auto* messageSection = new QGroupBox(QStringLiteral("Your Message"), this);
    auto* messageLayout = new QVBoxLayout(messageSection);
    messageEditor_ = new QPlainTextEdit(messageSection);
    messageEditor_->setFont(style::font(style::TextStyle::body));
    messageEditor_->setMinimumHeight(120);
    messageEditor_->setTabChangesFocus(true);
    messageLayout->addWidget(messageEditor_);
    form->addWidget(messageSection, 1);

    auto* emailSection = new QGroupBox(QStringLiteral("Email (Optional)"), this);
    auto* emailLayout = new QVBoxLayout(emailSection);
    emailField_ = new QLineEdit(emailSection);
    emailField_->setPlaceholderText(QStringLiteral("you@example.com"));
    emailLayout->addWidget(emailField_);
    emailLayout->addWidget(style::makeLabel(QStringLiteral("Only needed if you'd like us to follow up with you."),
                                            style::font(style::TextStyle::caption), style::secondaryText()));
    form->addWidget(emailSection);
    layout->addLayout(form, 1);
    layout->addWidget(divider(this));

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(20, 16, 20, 16);
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    sendButton_ = new QPushButton(QStringLiteral("Send Feedback"), this);
    sendButton_->setObjectName(QStringLiteral("sendFeedbackButton"));
    makeDefaultButton(*sendButton_);
    spinner_ = new ButtonSpinner(sendButton_);
    footer->addWidget(cancelButton_);
    footer->addStretch();
    footer->addWidget(sendButton_);
    layout->addLayout(footer);

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, cancelButton_, &QPushButton::click);
    // Return in the message editor makes a new line; elsewhere it sends, like a dialog's default button.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (sendButton_->isEnabled()) {
                sendButton_->click();
            }
        });
    }
    connect(cancelButton_, &QPushButton::clicked, this, &FeedbackView::closeFeedbackWindow);
    connect(sendButton_, &QPushButton::clicked, this, &FeedbackView::send);
    connect(messageEditor_, &QPlainTextEdit::textChanged, this, &FeedbackView::updateSendButton);
    updateSendButton();
    // The window opens with the keyboard in the message, so the first words typed are kept.
    messageEditor_->setFocus(Qt::OtherFocusReason);
}

corvantesk::FeedbackCategory FeedbackView::feedbackCategory() const {
    const auto& choices = feedbackCategoryChoices();
    const int index = categoryPicker_->currentIndex();
    return index >= 0 && static_cast<std::size_t>(index) < choices.size()
               ? choices[static_cast<std::size_t>(index)].category
               : FeedbackCategory::general;
}

void FeedbackView::updateSendButton() {
    sendButton_->setEnabled(!isSubmitting_ && !isBlankFeedback(messageEditor_->toPlainText()));
    // While sending, the button shows only the spinner.
    sendButton_->setText(isSubmitting_ ? QString() : QStringLiteral("Send Feedback"));
    if (isSubmitting_) {
        spinner_->start();
    } else {
        spinner_->stop();
    }
}

void FeedbackView::send() {
    if (isSubmitting_ || isBlankFeedback(messageEditor_->toPlainText())) {
        return;
    }
    isSubmitting_ = true;
    updateSendButton();
    submitFeedback();
}

void FeedbackView::submitFeedback() {
    submittedCategory_ = feedbackCategory();
    submittedWithEmail_ = !emailField_->text().trimmed().isEmpty();
    auto request = makeFeedbackRequest(submittedCategory_, messageEditor_->toPlainText(), emailField_->text());
    QPointer<FeedbackView> self(this);
    // The answer comes on a thread of the client; it is dropped if the window has gone meanwhile.
    auto completion = [self](const corvantesk::FeedbackResult& result) {
        platform::runOnMainQueue([self, result] {
            if (self) {
                self->handleSubmitResult(result);
            }
        });
    };
    try {
        submitter_(std::move(request), std::move(completion));
    } catch (const std::exception& error) {
        handleSubmitError(QString::fromUtf8(error.what()));
    }
}

void FeedbackView::handleSubmitResult(const corvantesk::FeedbackResult& result) {
    isSubmitting_ = false;
    updateSendButton();
    if (result.success) {
        showingSuccess_ = true;
        if (corvantesk::Corvantesk::isInitialized()) {
            corvantesk::Corvantesk::track(
                "feedback_submitted", "engagement",
                corvantesk::AnyMap{{"category", rawValue(submittedCategory_)}, {"has_email", submittedWithEmail_}});
        }
        showSuccessAlert();
    } else {
        errorMessage_ = result.error ? QString::fromStdString(*result.error)
                                     : QStringLiteral("Failed to send feedback. Please try again.");
        showingError_ = true;
        showErrorAlert();
    }
}

void FeedbackView::handleSubmitError(const QString& description) {
    isSubmitting_ = false;
    updateSendButton();
    errorMessage_ = QStringLiteral("Failed to send feedback: ") + description;
    showingError_ = true;
    showErrorAlert();
}

void FeedbackView::showSuccessAlert() {
    platform::alertPresenter()->runModal(
        {QStringLiteral("Feedback Sent"),
         QStringLiteral("Thank you for your feedback! We appreciate you taking the time to help us improve "
                        "Quillobrandt."),
         platform::AlertStyle::informational});
    showingSuccess_ = false;
    closeFeedbackWindow();
}

void FeedbackView::showErrorAlert() {
    platform::alertPresenter()->runModal({QStringLiteral("Error"), errorMessage_, platform::AlertStyle::warning});
    showingError_ = false;
}

void FeedbackView::closeFeedbackWindow() {
    style::closeWindowsTitled(feedbackWindowTitle);
}

} // namespace quillobrandt
