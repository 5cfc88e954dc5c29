#include "Quillobrandt/store/DatabaseManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// A file shows exactly what was written at any moment (its offset), which a pipe's reader cannot.
enum class Stdout { terminal, pipe, file };

// Everything a load writes to standard output while that is a pseudo-terminal, a pipe or a file; its conversations
// in `loaded` when given.
std::string consoleOfLoad(const fs::path& file, Stdout target,
                          std::vector<quillobrandt::Conversation>* loaded = nullptr,
                          const quillobrandt::DatabaseProgress& progress = {}) {
    int readEnd = -1;
    int writeEnd = -1;
    if (target == Stdout::file) {
        const auto written = qbtest::IsolatedHome::root() / "stdout.txt"; // outside the database's folder
        writeEnd = ::open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        readEnd = ::open(written.c_str(), O_RDONLY);
        if (writeEnd < 0 || readEnd < 0) {
            ADD_FAILURE() << "no file for stdout: " << errno;
            return {};
        }
    } else if (target == Stdout::terminal) {
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
    const auto readAll = [&] {
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
    };
    std::thread reader;
    if (target != Stdout::file) {
        reader = std::thread(readAll);
    }
    auto conversations = storetest::load(file, progress);
    if (loaded != nullptr) {
        *loaded = std::move(conversations);
    }
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    if (reader.joinable()) {
        reader.join();
    } else {
        readAll();
    }
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
    builder.addMessageAttachment(
        photo,
        builder.addAttachment({.filename = "~/Library/Messages/Attachments/ab/01/X/a.jpg", .mimeType = "image/jpeg"}));
    const auto bob = builder.addOneToOneChat("bob@example.com");
    builder.addMessageToChat(
        bob.chatId,
        {.attributedBody = qbtest::typedStreamAttributedString("hidden reply"), .date = 40, .handleId = bob.handleId});
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

// Texts mostly archived, in hundreds of chats: bodies of every kind (both archive forms, broken ones, one deciding
// on an empty string, one far larger than the rest, a stored empty text beside a body), more bodies than are decoded
// at once and more lines than are written at once. Decoded beside the reading when no line quotes them, they give
// exactly what the verbose load gives decoding them in turn: the same conversations, the same lines in order. Older
// chats whose texts are all stored plainly come last (the newest are read first), as in a history begun years ago:
// their lines still go out as they are read, not once the load ends.
TEST(DatabaseConsole, ManyArchivedBodiesGiveTheSameHistoryAndLinesQuietOrVerbose) {
    const auto file = qbtest::IsolatedHome::root() / "many" / "chat.db";
    fs::create_directories(file.parent_path());
    std::size_t expectedWithText = 0;
    constexpr int kPlainChats = 1500;
    {
        qbtest::MessagesDatabaseBuilder builder(file);
        for (int chat = 0; chat < kPlainChats; ++chat) {
            const auto person = builder.addOneToOneChat("old" + std::to_string(chat) + "@example.com");
            builder.addMessageToChat(person.chatId, {.text = "plain", .date = -1, .handleId = person.handleId});
            ++expectedWithText;
        }
        for (int chat = 0; chat < 600; ++chat) {
            const auto person = builder.addOneToOneChat("person" + std::to_string(chat) + "@example.com");
            for (int index = 0; index < 8; ++index) {
                const std::string words = "chat " + std::to_string(chat) + " message " + std::to_string(index) + " ✓";
                qbtest::MessageRow row{.date = chat * 100 + index, .handleId = person.handleId};
                const int kind = (chat + index) % 7;
                expectedWithText += kind == 0 || kind == 1 || kind == 5 || kind == 6 ? 1 : 0;
                switch (kind) {
                case 0:
                    row.attributedBody = qbtest::typedStreamAttributedString(words);
                    break;
                case 1:
                    row.attributedBody = qbtest::keyedArchiveAttributedString(words);
                    break;
                case 2:
                    row.attributedBody = std::vector<std::uint8_t>{0x04, 0x0B, 0xFF};
                    break;
                case 3:
                    row.attributedBody = qbtest::typedStreamAttributedString("");
                    break;
                case 4:
                    row.text = "";
                    row.attributedBody = qbtest::typedStreamAttributedString(words);
                    break;
                case 5:
                    row.attributedBody = qbtest::keyedArchiveString(words);
                    break;
                default:
                    row.attributedBody = qbtest::typedStreamAttributedString(
                        chat == 300 ? std::string(std::size_t{700} << 10, 'x') : words);
                    break;
                }
                builder.addMessageToChat(person.chatId, row);
            }
        }
        builder.finish();
    }
    std::vector<quillobrandt::Conversation> quietLoad, verboseLoad;
    std::string quiet, verbose;
    const std::string lastChat = "Loading conversations " + std::to_string(kPlainChats + 600) + " of " +
                                 std::to_string(kPlainChats + 600) + "...";
    off_t writtenBeforeLastChat = -1;
    {
        const Verbose off(false);
        quiet = consoleOfLoad(
            file, Stdout::file, &quietLoad,
            [&](const std::string& message, double, const std::optional<std::string>&, std::optional<double>) {
                if (message == lastChat) {
                    writtenBeforeLastChat = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
                }
            });
    }
    {
        const Verbose on(true);
        verbose = consoleOfLoad(file, Stdout::pipe, &verboseLoad);
    }
    ASSERT_EQ(quietLoad.size(), std::size_t{kPlainChats} + 600);
    EXPECT_TRUE(quietLoad == verboseLoad);
    EXPECT_EQ(withoutQuotingLines(verbose), quiet);
    EXPECT_GT(quiet.size(), std::size_t{64} << 10);
    // At most the last few chats' lines (written a few dozen KiB at a time) wait for the load's end.
    EXPECT_GT(writtenBeforeLastChat + (off_t{80} << 10), static_cast<off_t>(quiet.size()))
        << writtenBeforeLastChat << " of " << quiet.size() << " bytes written before the last chat";
    std::size_t withText = 0;
    for (const auto& conversation : quietLoad) {
        for (const auto& message : conversation.messages) {
            withText += message.text && !message.text->empty() ? 1 : 0;
        }
    }
    EXPECT_EQ(withText, expectedWithText);
}
