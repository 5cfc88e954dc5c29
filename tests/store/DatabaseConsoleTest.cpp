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

// QB_VERBOSE set for a scope, or left unset.
class Verbose {
public:
    explicit Verbose(bool on) {
        if (on) {
            ::setenv("QB_VERBOSE", "1", 1);
        } else {
            ::unsetenv("QB_VERBOSE");
        }
    }
    Verbose(const Verbose&) = delete;
    Verbose& operator=(const Verbose&) = delete;
    ~Verbose() { ::unsetenv("QB_VERBOSE"); }
};

bool quotesMessages(const std::string& line) {
    return line.find("✅ Decoded attributedBody") != std::string::npos ||
           line.find("📎 Attachment ") != std::string::npos;
}

// The output without the lines that quote messages (decoded texts, attachment paths).
std::string withoutQuotingLines(const std::string& output) {
    std::string kept;
    for (std::size_t start = 0; start < output.size();) {
        const auto end = output.find('\n', start);
        const auto line = output.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
        if (!quotesMessages(line)) {
            kept += line;
        }
        start = end == std::string::npos ? output.size() : end + 1;
    }
    return kept;
}

} // namespace

// Every chat's lines come in order, wherever stdout goes. Lines that quote messages (decoded texts, where each
// attachment was looked for) come only when QB_VERBOSE asks for them, a terminal or not: a desktop session keeps
// a program's stdout in the user's journal, and a shell's terminal is no private place either.
TEST(DatabaseConsole, MessageTextOnlyWhenVerboseOtherwiseTheSameLines) {
    const auto file = databaseWithArchivedBodies();
    std::string terminal, piped, verboseTerminal, verbosePiped;
    {
        const Verbose quiet(false);
        terminal = consoleOfLoad(file, Stdout::terminal);
        piped = consoleOfLoad(file, Stdout::pipe);
    }
    {
        const Verbose verbose(true);
        verboseTerminal = consoleOfLoad(file, Stdout::terminal);
        verbosePiped = consoleOfLoad(file, Stdout::pipe);
    }

    for (const std::string& output : {terminal, piped, verboseTerminal, verbosePiped}) {
        EXPECT_EQ(output.find("💬 Chat 1: ROWID=2 identifier=bob@example.com style=45 name=(none)\n"), 0u) << output;
        EXPECT_NE(output.find("  📨 1 messages, 0 without text\n"
                              "💬 Chat 2: ROWID=1 identifier=alice@example.com style=45 name=(none)\n"),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("  📎 1 attachments for 1 messages\n"), std::string::npos) << output;
        EXPECT_NE(output.find("  📨 3 messages, 0 without text\n✅ Loaded 2 conversations\n"), std::string::npos)
            << output;
    }
    for (const std::string& output : {terminal, piped}) {
        EXPECT_EQ(output.find("Decoded attributedBody"), std::string::npos) << output;
        EXPECT_EQ(output.find("📎 Attachment "), std::string::npos) << output;
        for (const char* text : {"secret words", "hidden reply", "plain words", "a.jpg"}) {
            EXPECT_EQ(output.find(text), std::string::npos) << text << " in " << output;
        }
    }
    EXPECT_EQ(terminal, piped);
    EXPECT_EQ(verboseTerminal, verbosePiped);
    EXPECT_NE(verbosePiped.find("✅ Decoded attributedBody of message 2 at step 4 (typedstream): secret words\n"),
              std::string::npos)
        << verbosePiped;
    EXPECT_NE(verbosePiped.find("✅ Decoded attributedBody of message 4 at step 4 (typedstream): hidden reply\n"),
              std::string::npos)
        << verbosePiped;
    EXPECT_NE(verbosePiped.find("  📎 Attachment path fallback: "), std::string::npos) << verbosePiped;
    // The verbose output is the quiet one plus the quoting lines, in the same order.
    EXPECT_EQ(withoutQuotingLines(verbosePiped), piped);
}
