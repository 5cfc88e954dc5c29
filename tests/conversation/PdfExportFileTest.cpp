#include <QFile>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "ConversationTestSupport.h"
#include "Quillobrandt/conversation/export/PdfExportFile.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Paths.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;

namespace {

QString pathIn(const char* name) {
    return QString::fromStdString((qbtest::IsolatedHome::root() / name).string());
}

void writeText(const QString& path, const std::string& text) {
    ASSERT_TRUE(platform::writeFileAtomically(path.toStdString(), text));
}

} // namespace

TEST(PdfExportFile, TemporaryDocumentsLiveInThePrivateFolder) {
    const QString first = temporaryPdfPath();
    const QString second = temporaryPdfPath();
    EXPECT_TRUE(first.endsWith(".pdf"));
    EXPECT_NE(first, second);
    EXPECT_TRUE(platform::isInside(first.toStdString(), platform::privateTempDir()));
}

TEST(PdfExportFile, ExportListAndImageFlag) {
    const QDate day(2024, 1, 5);
    auto plain = qbtest::makeMessage(day, QTime(1, 0), "a");
    auto reaction = qbtest::makeMessage(day, QTime(1, 1), "Loved a");
    reaction.associatedMessageGUID = "p:0/A";
    auto video = qbtest::makeMessage(day, QTime(1, 2), std::nullopt);
    video.attachments.push_back({1, "x.jpg", "video/mp4", "/nowhere/x.jpg"});
    const auto kept = pdfExportMessages({plain, reaction, video});
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].id, video.id);
    EXPECT_FALSE(containsImage(kept));
    // A filtered list given as positions: their order, reactions and positions past the end left out.
    const std::vector<quillobrandt::Message> source{plain, reaction, video};
    const std::vector<std::uint32_t> positions{2, 1, 0, 3};
    const auto picked = pdfExportMessages(source, positions);
    ASSERT_EQ(picked.size(), 2u);
    EXPECT_EQ(picked[0].id, video.id);
    EXPECT_EQ(picked[1].id, plain.id);
    video.attachments.push_back({2, "X.JPG", std::nullopt, "/nowhere/X.JPG"});
    EXPECT_TRUE(containsImage({plain, video}));
}

TEST(PdfExportFile, MoveReplacesTheDestinationAndKeepsTheSourceOnFailure) {
    const QString source = pathIn("rendered.pdf");
    const QString destination = pathIn("chosen.pdf");
    writeText(source, std::string(3000, 'x'));
    writeText(destination, "old");
    EXPECT_EQ(fileSizeKilobytes(source), 2);
    EXPECT_EQ(fileSizeKilobytes(pathIn("none.pdf")), 0);
    ASSERT_TRUE(moveFinishedPdf(source, destination));
    EXPECT_FALSE(QFile::exists(source));
    EXPECT_EQ(platform::readFile(destination.toStdString())->size(), 3000u);

    writeText(source, "again");
    QString error;
    EXPECT_FALSE(moveFinishedPdf(source, pathIn("missing-folder/x.pdf"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFile::exists(source));
}

TEST(PdfExportFile, MoveAcrossFileSystemsGivesTheSameFileAsOnOne) {
    struct stat shm {};
    struct stat home {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(qbtest::IsolatedHome::root().c_str(), &home) != 0 ||
        shm.st_dev == home.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second file system to move from";
    }
    const QString source = QStringLiteral("/dev/shm/qb-export-test-%1.pdf").arg(::getpid());
    // Bigger than any one piece of the copy, and not a repeating pattern a short copy could fake.
    std::string content = "%PDF-1.4 test\n";
    for (int i = 0; content.size() < 600 * 1024; ++i) {
        content += std::to_string(i * 7919) + (i % 17 == 0 ? "\n" : " ");
    }
    writeText(source, content);
    const QString destination = pathIn("across.pdf");
    const mode_t previous = ::umask(027);
    QString error;
    const bool moved = moveFinishedPdf(source, destination, &error);
    ::umask(previous);
    ASSERT_TRUE(moved) << error.toStdString();
    EXPECT_FALSE(QFile::exists(source));
    EXPECT_EQ(*platform::readFile(destination.toStdString()), content);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(destination).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the user's file mode, as a rename on one file system keeps it";
}
