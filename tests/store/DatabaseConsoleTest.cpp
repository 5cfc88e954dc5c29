#include "Quillobrandt/store/DatabaseManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "tests/store/StoreTestSupport.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;

namespace {

enum class Stdout { terminal, pipe };

// Everything a load writes to standard output while that is a pseudo-terminal or a pipe.
std::string consoleOfLoad(const fs::path& file, Stdout target) {
    int readEnd = -1;
    int writeEnd = -1;
    if (target == Stdout::terminal) {
        termios raw{};
        cfmakeraw(&raw); // no newline translation
        if (::openpty(&readEnd, &writeEnd, nullptr, &raw, nullptr) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << errno;
            return {};
        }
    } else {
        int ends[2];
        if (::pipe(ends) != 0) {
            ADD_FAILURE() << "no pipe";
            return {};
        }
        readEnd = ends[0];
        writeEnd = ends[1];
    }
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(writeEnd, STDOUT_FILENO);
    ::close(writeEnd);
    std::string output;
    std::thread reader([&] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(readEnd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return; // end of the pipe; EIO once the terminal's last writer has gone
            }
            output.append(buffer, static_cast<std::size_t>(got));
        }
    });
    storetest::load(file);
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    reader.join();
    ::close(readEnd);
    return output;
}

fs::path databaseWithArchivedBodies() {
    const auto file = qbtest::IsolatedHome::root() / "home" / "Library" / "Messages" / "chat.db";
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file);
    const auto alice = builder.addOneToOneChat("alice@example.com");
    builder.addMessageToChat(alice.chatId, {.text = "plain words", .date = 10, .handleId = alice.handleId});
    builder.addMessageToChat(alice.chatId, {.attributedBody = qbtest::typedStreamAttributedString("secret words"),
                                            .date = 20,
                                            .handleId = alice.handleId});
    const auto photo = builder.addMessageToChat(alice.chatId, {.text = "\xEF\xBF\xBC", .date = 30, .isFromMe = 1});
    builder.addMessageAttachment(photo,
                                 builder.addAttachment({.filename = "~/Library/Messages/Attachments/ab/01/X/a.jpg",
                                                        .mimeType = "image/jpeg"}));
    const auto bob = builder.addOneToOneChat("bob@example.com");
    builder.addMessageToChat(bob.chatId, {.attributedBody = qbtest::typedStreamAttributedString("hidden reply"),
                                          .date = 40,
                                          .handleId = bob.handleId});
    builder.finish();
    return file;
}

} // namespace

// Every chat's lines come in one block; from a terminal they include the decoded texts, elsewhere (a pipe, a
// session's journal) every line but those, and no message text at all.
TEST(DatabaseConsole, TerminalGetsEveryLineOtherOutputsNoMessageText) {
    const auto file = databaseWithArchivedBodies();
    const std::string terminal = consoleOfLoad(file, Stdout::terminal);
    const std::string piped = consoleOfLoad(file, Stdout::pipe);

    for (const std::string& output : {terminal, piped}) {
        EXPECT_EQ(output.find("💬 Chat 1: ROWID=2 identifier=bob@example.com style=45 name=(none)\n"), 0u) << output;
        EXPECT_NE(output.find("  📨 1 messages, 0 without text\n"
                              "💬 Chat 2: ROWID=1 identifier=alice@example.com style=45 name=(none)\n"),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("  📎 1 attachments for 1 messages\n"), std::string::npos) << output;
        EXPECT_NE(output.find("  📨 3 messages, 0 without text\n✅ Loaded 2 conversations\n"), std::string::npos)
            << output;
        EXPECT_NE(output.find("✅ Loaded 2 conversations\n"), std::string::npos) << output;
    }
    EXPECT_NE(terminal.find("✅ Decoded attributedBody of message 2 at step 4 (typedstream): secret words\n"),
              std::string::npos)
        << terminal;
    EXPECT_NE(terminal.find("✅ Decoded attributedBody of message 4 at step 4 (typedstream): hidden reply\n"),
              std::string::npos)
        << terminal;
    EXPECT_EQ(piped.find("Decoded attributedBody"), std::string::npos) << piped;
    EXPECT_EQ(piped.find("secret words"), std::string::npos) << piped;
    EXPECT_EQ(piped.find("hidden reply"), std::string::npos) << piped;
    EXPECT_EQ(piped.find("plain words"), std::string::npos) << piped;

    // Terminal output is the piped output plus the decoded lines, in the same order.
    std::string withoutDecoded;
    for (std::size_t start = 0; start < terminal.size();) {
        const auto end = terminal.find('\n', start);
        const auto line = terminal.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
        if (line.find("✅ Decoded attributedBody") == std::string::npos) {
            withoutDecoded += line;
        }
        start = end == std::string::npos ? terminal.size() : end + 1;
    }
    EXPECT_EQ(withoutDecoded, piped);
}
