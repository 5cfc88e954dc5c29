#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace {

struct ScriptResult {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs run.sh (or another script of the checkout) with only PATH and HOME set, so no display is known to it.
ScriptResult runScript(const QStringList& arguments, const QString& script = QStringLiteral("run.sh")) {
    QProcess process;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("HOME"), QProcessEnvironment::systemEnvironment().value(QStringLiteral("HOME")));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QB_SOURCE_DIR "/") + script, arguments);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

TEST(RunScript, HelpSaysWhatItDoesAndTouchesNothing) {
    const auto result = runScript({QStringLiteral("--help")});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.out.contains(QStringLiteral("Usage: ./run.sh")));
    EXPECT_TRUE(result.out.contains(QStringLiteral("install-deps.sh")));
    EXPECT_TRUE(result.out.contains(QStringLiteral("xvfb-run")));
}

TEST(RunScript, WithoutADesktopSessionItSaysSoAndFails) {
    const auto result = runScript({});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.exitCode, -1) << "it must end by itself, not hang or abort";
    EXPECT_TRUE(result.err.contains(QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")))
        << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QStringLiteral("xvfb-run")));
    EXPECT_TRUE(result.out.isEmpty()) << "nothing was installed or built";
}

TEST(InstallScript, HelpSaysHowToInstallAndRemoveAndAWrongArgumentInstallsNothing) {
    const auto help = runScript({QStringLiteral("--help")}, QStringLiteral("install.sh"));
    EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
    EXPECT_TRUE(help.out.contains(QStringLiteral("cpack -G DEB")));
    EXPECT_TRUE(help.out.contains(QStringLiteral("sudo apt-get remove quillobrandt")));

    const auto wrong = runScript({QStringLiteral("--prefix=/opt")}, QStringLiteral("install.sh"));
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_TRUE(wrong.err.contains(QStringLiteral("Usage: ./install.sh")));
    EXPECT_TRUE(wrong.out.isEmpty()) << "nothing was installed or built";
}

} // namespace
