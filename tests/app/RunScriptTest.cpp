#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

struct ScriptResult {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs run.sh (or another script of the checkout) with only PATH and HOME set, so no display is known to it;
// `toolsFirst` is searched before the system's folders, `extra` adds variables.
ScriptResult runScript(const QStringList& arguments, const QString& script = QStringLiteral("run.sh"),
                       const QString& toolsFirst = {}, const QProcessEnvironment& extra = {}) {
    QProcess process;
    QProcessEnvironment environment = extra;
    environment.insert(QStringLiteral("PATH"), (toolsFirst.isEmpty() ? QString() : toolsFirst + QLatin1Char(':')) +
                                                   QStringLiteral("/usr/bin:/bin"));
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

// Stand-ins for the package tools: each call is logged, one line per call. dpkg-query answers in the format it is
// asked for, reporting the packages named in UNKNOWN as never installed and those in REMOVED as removed with their
// configuration kept; apt-get only logs.
void writeFakePackageTools(const QString& folder) {
    const auto write = [&](const QString& name, const QByteArray& text) {
        QFile file(folder + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    write(QStringLiteral("dpkg-query"), R"(#!/bin/bash
echo "dpkg-query $*" >>"$TOOL_LOG"
format='${Status}'
names=()
while [ $# -gt 0 ]; do
    case "$1" in
    -W | --show) ;;
    -f | --showformat) shift; format="$1" ;;
    -f=* | --showformat=*) format="${1#*=}" ;;
    *) names+=("$1") ;;
    esac
    shift
done
status=0
for name in "${names[@]}"; do
    if [[ " $UNKNOWN " == *" $name "* ]]; then
        echo "dpkg-query: no packages found matching $name" >&2
        status=1
        continue
    fi
    line="$format"
    if [[ " $REMOVED " == *" $name "* ]]; then
        full="deinstall ok config-files"; short="config-files"; abbrev="rc "
    else
        full="install ok installed"; short="installed"; abbrev="ii "
    fi
    line="${line//'${Package}'/$name}"
    line="${line//'${binary:Package}'/$name}"
    line="${line//'${Status}'/$full}"
    line="${line//'${db:Status-Status}'/$short}"
    line="${line//'${db:Status-Abbrev}'/$abbrev}"
    printf '%b' "$line"
done
exit $status
)");
    for (const char* tool : {"apt-get", "sudo"}) {
        write(QString::fromLatin1(tool), QByteArray("#!/bin/bash\necho \"") + tool + " $*\" >>\"$TOOL_LOG\"\n");
    }
}

QStringList toolCalls(const QString& log) {
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A second start must not wait for the package database once per package: one question for the whole list, and
// only what is truly missing (never installed, or removed) goes to apt-get; with nothing missing, nothing runs.
TEST(InstallDepsScript, AsksThePackageDatabaseOnceAndInstallsOnlyWhatIsMissing) {
    QTemporaryDir tools;
    ASSERT_TRUE(tools.isValid());
    writeFakePackageTools(tools.path());
    const QString log = tools.filePath(QStringLiteral("calls.log"));
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("TOOL_LOG"), log);

    const auto complete = runScript({}, QStringLiteral("scripts/install-deps.sh"), tools.path(), environment);
    EXPECT_EQ(complete.exitCode, 0) << complete.err.toStdString();
    QStringList calls = toolCalls(log);
    EXPECT_EQ(calls.filter(QStringLiteral("dpkg-query")).size(), 1) << calls.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(calls.filter(QStringLiteral("apt-get")).isEmpty()) << "everything is there already";
    EXPECT_TRUE(complete.out.isEmpty()) << complete.out.toStdString();

    QFile::remove(log);
    environment.insert(QStringLiteral("UNKNOWN"), QStringLiteral("libcsv-dev"));
    environment.insert(QStringLiteral("REMOVED"), QStringLiteral("qt6-svg-dev libheif1"));
    const auto partial = runScript({}, QStringLiteral("scripts/install-deps.sh"), tools.path(), environment);
    EXPECT_EQ(partial.exitCode, 0) << partial.err.toStdString();
    calls = toolCalls(log);
    EXPECT_EQ(calls.filter(QStringLiteral("dpkg-query")).size(), 1) << calls.join(QLatin1Char('\n')).toStdString();
    const QStringList installs = calls.filter(QStringLiteral(" install "));
    ASSERT_EQ(installs.size(), 1) << calls.join(QLatin1Char('\n')).toStdString();
    QStringList installed = installs.first().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    installed = installed.mid(installed.indexOf(QStringLiteral("--no-install-recommends")) + 1);
    installed.sort();
    EXPECT_EQ(installed,
              (QStringList{QStringLiteral("libcsv-dev"), QStringLiteral("libheif1"), QStringLiteral("qt6-svg-dev")}));
}

} // namespace
