#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <gtest/gtest.h>

#include "Corvantesk/qt/ViewTagging.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

class ConversationScreenTagTest : public ::testing::Test, protected qbtest::ConversationViewFixture {};

// The automatic tracker reports the conversation sheet by its screen tag, not by the window's title.
TEST_F(ConversationScreenTagTest, TheConversationViewNamesItsScreen) {
    quillobrandt::Conversation conversation;
    conversation.id = "1";
    conversation.participants = {"+15551234567"};
    quillobrandt::ConversationDisplayView view(conversation, state.get(), nullptr, &analytics);
    EXPECT_EQ(corvantesk::corvanteskScreenName(&view), QStringLiteral("ConversationView"));
}

} // namespace
