#include "Quillobrandt/store/AttachmentPathResolver.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/core/Paths.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::resolveAttachmentPath;

namespace {

fs::path makeFile(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
    return file;
}

std::size_t entriesBelow(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::recursive_directory_iterator(folder), fs::recursive_directory_iterator()));
}

class AttachmentPaths : public ::testing::Test {
protected:
    fs::path base = qbtest::IsolatedHome::root() / "Messages";
    void SetUp() override { fs::create_directories(base); }
};

} // namespace

TEST_F(AttachmentPaths, AMacNameFindsItsFileInTheCopiedMessagesFolder) {
    const std::string stored = "~/Library/Messages/Attachments/ab/01/X/photo.jpeg";
    const auto candidateA = makeFile(base / "Attachments/ab/01/X/photo.jpeg");
    EXPECT_EQ(resolveAttachmentPath(stored, base), candidateA.string());
}

TEST_F(AttachmentPaths, ABaseThatIsTheAttachmentsFolderItself) {
    const std::string stored = "~/Library/Messages/Attachments/ab/01/X/photo.jpeg";
    const auto candidateB = makeFile(base / "ab/01/X/photo.jpeg");
    EXPECT_EQ(resolveAttachmentPath(stored, base), candidateB.string());
}

TEST_F(AttachmentPaths, AnIphoneNameInABackupsExtractionFolder) {
    const std::string stored = "~/Library/SMS/Attachments/0c/12/Y/IMG_1.HEIC";
    const auto candidateB = makeFile(base / "0c/12/Y/IMG_1.HEIC");
    EXPECT_EQ(resolveAttachmentPath(stored, base), candidateB.string());
    const auto candidateA = makeFile(base / "Library/SMS/Attachments/0c/12/Y/IMG_1.HEIC");
    EXPECT_EQ(resolveAttachmentPath(stored, base), candidateA.string()); // A is tried first
    // Older iPhones stored the device's absolute path: re-rooted as the "~/" name is.
    EXPECT_EQ(resolveAttachmentPath("/var/mobile/Library/SMS/Attachments/0c/12/Y/IMG_1.HEIC", base),
              candidateA.string());
    EXPECT_EQ(resolveAttachmentPath("/private/var/mobile/Library/SMS/Attachments/0c/12/Y/IMG_1.HEIC", base),
              candidateA.string());
}

TEST_F(AttachmentPaths, AFolderCountsAsFound) {
    fs::create_directories(base / "Attachments/ab/01/X/bundle.pluginPayloadAttachment");
    EXPECT_EQ(resolveAttachmentPath("~/Library/Messages/Attachments/ab/01/X/bundle.pluginPayloadAttachment", base),
              (base / "Attachments/ab/01/X/bundle.pluginPayloadAttachment").string());
}

TEST_F(AttachmentPaths, HomeFolderAndFallbacks) {
    const auto inHome = makeFile(platform::homeDir() / "Library/Messages/Attachments/cd/02/Z/a.png");
    EXPECT_EQ(resolveAttachmentPath("~/Library/Messages/Attachments/cd/02/Z/a.png", base), inHome.string());
    EXPECT_EQ(resolveAttachmentPath("~/Library/Messages/Attachments/cd/02/Z/a.png", std::nullopt), inHome.string());

    EXPECT_EQ(resolveAttachmentPath("~/Library/SMS/Attachments/none.jpg", base),
              (platform::homeDir() / "Library/SMS/Attachments/none.jpg").string());
    EXPECT_EQ(resolveAttachmentPath("/var/mobile/Library/SMS/Attachments/none.jpg", base),
              (platform::homeDir() / "Library/SMS/Attachments/none.jpg").string());
    EXPECT_EQ(resolveAttachmentPath("relative/name.jpg", std::nullopt), "relative/name.jpg");
}

TEST_F(AttachmentPaths, NamesThatClimbOutOfTheirFolderResolveToNothing) {
    const auto before = entriesBelow(qbtest::IsolatedHome::root());
    const auto outside = makeFile(qbtest::IsolatedHome::root() / "secret.txt");
    makeFile(platform::homeDir() / "secret.txt");
    for (const std::string& hostile : std::vector<std::string>{
             "~/Library/Messages/../secret.txt", "~/../secret.txt", "~/../../../../etc/passwd",
             "../../../../etc/shadow", "~/Library/SMS/Attachments/../../../../../etc/hostname", "~", "",
             "Attachments/..", "/etc/../etc/passwd", "~/Library/Messages/Attachments/a/b/../../../../secret.txt",
             "/etc/passwd", "/", outside.string(), "/Users/x/Pictures/Library/SMS/photo.jpg",
             "/Users/x/MyLibrary/SMS/Attachments/a.jpg"}) {
        EXPECT_EQ(resolveAttachmentPath(hostile, base), "") << hostile;
        EXPECT_EQ(resolveAttachmentPath(hostile, std::nullopt), "") << hostile;
    }
    // Names that only contain dots are ordinary names; absolute names below an attachment folder are that folder's
    // in the home folder here, as "~/" names are; a home name outside the Messages app's folders names no file
    // without a base folder.
    EXPECT_EQ(resolveAttachmentPath("~/Library/SMS/..a/b..jpg", std::nullopt),
              (platform::homeDir() / "Library/SMS/..a/b..jpg").string());
    EXPECT_EQ(resolveAttachmentPath("/Users/x/Library/Messages/Attachments/a.jpg", std::nullopt),
              (platform::homeDir() / "Library/Messages/Attachments/a.jpg").string());
    EXPECT_EQ(resolveAttachmentPath("~/secret.txt", std::nullopt), "");
    // Resolution only ever looks: nothing is created or changed.
    EXPECT_EQ(entriesBelow(qbtest::IsolatedHome::root()), before + 2);
    EXPECT_TRUE(fs::exists(outside));
}

// A database opened by a relative name has an empty folder: its candidates lie in the current folder, never at the
// filesystem's root.
TEST_F(AttachmentPaths, AnEmptyBaseMeansTheCurrentFolderNotTheRoot) {
    const fs::path previous = fs::current_path();
    fs::current_path(base);
    makeFile(base / "Attachments/ab/01/X/photo.jpeg");
    quillobrandt::AttachmentPathResolver resolver(fs::path(""));
    const auto found = resolver.resolve("~/Library/Messages/Attachments/ab/01/X/photo.jpeg");
    const auto missing = resolver.resolve("~/Library/Messages/Attachments/cd/02/Y/other.jpeg");
    const auto diagnostics = resolver.takeDiagnostics();
    fs::current_path(previous);
    EXPECT_EQ(found, "./Attachments/ab/01/X/photo.jpeg");
    EXPECT_EQ(missing, (platform::homeDir() / "Library/Messages/Attachments/cd/02/Y/other.jpeg").string());
    EXPECT_NE(diagnostics.find("not found at ./Attachments/cd/02/Y/other.jpeg"), std::string::npos) << diagnostics;
    EXPECT_EQ(diagnostics.find(" /Attachments"), std::string::npos) << diagnostics;
}

// Without path notes only a refused name is told: that is a warning about the database, not a quote of a file name.
TEST_F(AttachmentPaths, WithoutPathNotesOnlyARefusalIsNoted) {
    const auto inBase = makeFile(base / "Attachments/ab/01/X/photo.jpeg");
    quillobrandt::AttachmentPathResolver quiet(base, false);
    EXPECT_EQ(quiet.resolve("~/Library/Messages/Attachments/ab/01/X/photo.jpeg"), inBase.string());
    EXPECT_EQ(quiet.resolve("~/Library/Messages/Attachments/cd/02/Y/other.jpeg"),
              (platform::homeDir() / "Library/Messages/Attachments/cd/02/Y/other.jpeg").string());
    EXPECT_EQ(quiet.takeDiagnostics(), "");
    EXPECT_EQ(quiet.resolve("~/../secret.txt"), "");
    EXPECT_EQ(quiet.takeDiagnostics(), "  📎 Attachment name refused, it leads out of its folder: ~/../secret.txt");
}
