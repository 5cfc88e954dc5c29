#include "Quillobrandt/app/FeedbackView.h"
#include "platform/core/BundleInfo.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <stdexcept>

#include "Corvantesk/Corvantesk.h"
#include "tests/app/ShellFixture.h"

namespace {

using corvantesk::FeedbackCategory;
using corvantesk::FeedbackRequest;
using corvantesk::FeedbackResult;
using quillobrandt::FeedbackView;

// The view inside a window titled as the application titles it, with a submitter that records requests and
// answers later, from another thread, as the SDK's client does.
class FeedbackViewTest : public qbtest::ShellTest {
protected:
    FeedbackViewTest() {
        window = new QWidget(nullptr, Qt::Window);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(QStringLiteral("Send Feedback"));
        auto* layout = new QVBoxLayout(window);
        view = new FeedbackView(window, [this](FeedbackRequest request, corvantesk::FeedbackClient::Completion done) {
            requests.push_back(std::move(request));
            if (throwOnSubmit) {
                throw std::runtime_error("socket closed");
            }
            std::thread([done = std::move(done), answer = answer] { done(answer); }).detach();
        });
        layout->addWidget(view);
        window->show();
    }

    void type(const QString& message, const QString& email = {}) {
        view->messageEditor()->setPlainText(message);
        view->emailField()->setText(email);
    }
    // The wait also runs deferred deletes, so the answer's OK may delete the window (and the view) meanwhile.
    bool waitUntilAnswered() {
        return QTest::qWaitFor([&] { return view.isNull() || !view->isSubmitting(); }, 2000);
    }
    void choose(const char* title) { view->categoryPicker()->setCurrentText(QString::fromUtf8(title)); }

    QPointer<QWidget> window;
    QPointer<FeedbackView> view;
    std::vector<FeedbackRequest> requests;
    FeedbackResult answer = FeedbackResult::succeeded(7);
    bool throwOnSubmit = false;
};

TEST(FeedbackRequests, EachCategoryCarriesWhatTheWindowPromises) {
    using quillobrandt::makeFeedbackRequest;
    const auto general =
        makeFeedbackRequest(FeedbackCategory::general, QStringLiteral("  hi \n"), QStringLiteral("  a@b.c "));
    EXPECT_EQ(general.message, "  hi \n") << "sent as typed";
    EXPECT_EQ(general.email, "a@b.c");
    EXPECT_EQ(general.category, FeedbackCategory::general);

    const auto bug = makeFeedbackRequest(FeedbackCategory::bug, QStringLiteral("x"), QStringLiteral("   "));
    EXPECT_EQ(bug.email, std::nullopt) << "blank e-mail is no e-mail";
    EXPECT_EQ(bug.screen, "FeedbackView");
    EXPECT_TRUE(bug.attachDeviceState);

    const auto praise = makeFeedbackRequest(FeedbackCategory::praise, QStringLiteral("x"), QStringLiteral("a@b.c"));
    EXPECT_EQ(praise.email, std::nullopt);
    EXPECT_EQ(praise.rating, std::nullopt);

    const auto support = makeFeedbackRequest(FeedbackCategory::support, QStringLiteral("x"), QStringLiteral("a@b.c"));
    EXPECT_EQ(support.category, FeedbackCategory::support);
    EXPECT_EQ(support.email, "a@b.c");
    EXPECT_EQ(support.screen, std::nullopt);
    EXPECT_EQ(makeFeedbackRequest(FeedbackCategory::featureRequest, "x", "").category,
              FeedbackCategory::featureRequest);
}

TEST(FeedbackRequests, CategoriesAreOfferedInMenuOrder) {
    QStringList titles;
    for (const auto& choice : quillobrandt::feedbackCategoryChoices()) {
        titles << QString::fromUtf8(choice.title);
    }
    EXPECT_EQ(titles, (QStringList{"General Feedback", "Bug Report", "Feature Request", "Support Request", "Praise"}));
}

TEST_F(FeedbackViewTest, BlankMessageCannotBeSent) {
    EXPECT_FALSE(view->sendButton()->isEnabled());
    type(QStringLiteral("  \n\t "));
    EXPECT_FALSE(view->sendButton()->isEnabled());
    view->send();
    EXPECT_TRUE(requests.empty());
    type(QStringLiteral("Works well"));
    EXPECT_TRUE(view->sendButton()->isEnabled());
}

TEST_F(FeedbackViewTest, SuccessIsConfirmedAndOkClosesTheWindow) {
    choose("Bug Report");
    type(QStringLiteral(" It crashed "), QStringLiteral("me@example.org"));
    view->sendButton()->click();
    EXPECT_TRUE(view->isSubmitting());
    EXPECT_FALSE(view->sendButton()->isEnabled());
    EXPECT_TRUE(view->sendButton()->text().isEmpty()) << "only the spinner while sending";
    EXPECT_FALSE(view->sendButton()->icon().isNull());
    ASSERT_TRUE(waitUntilAnswered());
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].category, FeedbackCategory::bug);
    EXPECT_EQ(requests[0].message, " It crashed ");
    ASSERT_EQ(fake.alerts->alerts().size(), 1U);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, QStringLiteral("Feedback Sent"));
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText,
              QStringLiteral("Thank you for your feedback! We appreciate you taking the time to help us improve "
                             "Quillobrandt."));
    flushDeletes();
    EXPECT_TRUE(window.isNull()) << "OK closed the window";
}

TEST_F(FeedbackViewTest, FailureShowsTheServiceTextAndKeepsTheForm) {
    answer = FeedbackResult::failed("Message cannot be empty");
    type(QStringLiteral("hello"));
    view->send();
    ASSERT_TRUE(waitUntilAnswered());
    ASSERT_EQ(fake.alerts->alerts().size(), 1U);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, QStringLiteral("Error"));
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText, QStringLiteral("Message cannot be empty"));
    EXPECT_EQ(view->errorMessage(), QStringLiteral("Message cannot be empty"));
    ASSERT_FALSE(window.isNull());
    EXPECT_EQ(view->messageEditor()->toPlainText(), QStringLiteral("hello"));
    EXPECT_EQ(view->sendButton()->text(), QStringLiteral("Send Feedback")) << "back from the spinner";
    EXPECT_TRUE(view->sendButton()->isEnabled());

    answer = FeedbackResult{};
    view->send();
    ASSERT_TRUE(waitUntilAnswered());
    EXPECT_EQ(fake.alerts->alerts().back().informativeText,
              QStringLiteral("Failed to send feedback. Please try again."));
}

TEST_F(FeedbackViewTest, ThrownErrorIsShownWithItsDescription) {
    throwOnSubmit = true;
    type(QStringLiteral("hello"));
    view->send();
    EXPECT_FALSE(view->isSubmitting());
    ASSERT_EQ(fake.alerts->alerts().size(), 1U);
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText, QStringLiteral("Failed to send feedback: socket closed"));
}

TEST_F(FeedbackViewTest, CancelClosesTheWindow) {
    view->cancelButton()->click();
    flushDeletes();
    EXPECT_TRUE(window.isNull());
}

TEST_F(FeedbackViewTest, WithoutTheSdkTheNotConfiguredAnswerIsShown) {
    ASSERT_FALSE(corvantesk::Corvantesk::isInitialized());
    FeedbackView sdkView;
    sdkView.messageEditor()->setPlainText(QStringLiteral("hello"));
    sdkView.send();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sdkView.isSubmitting(); }, 5000));
    ASSERT_EQ(fake.alerts->alerts().size(), 1U);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, QStringLiteral("Error"));
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText.toStdString(),
              "The feedback service is not configured. Please write to " + platform::bundleSupportEmail() + ".");
    EXPECT_FALSE(platform::bundleSupportEmail().empty());
}

// The window opens with the keyboard in the message, so the first words typed are kept.
TEST_F(FeedbackViewTest, OpensWithTheKeyboardInTheMessage) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    EXPECT_EQ(QApplication::focusWidget(), view->messageEditor());
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("First words"));
    EXPECT_EQ(view->messageEditor()->toPlainText(), QStringLiteral("First words"));
}

} // namespace
