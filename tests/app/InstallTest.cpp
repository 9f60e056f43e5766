// SPDX-License-Identifier: GPL-3.0-or-later
// Installing for one user: scripts/install-app puts the program, its help page, a launcher,
// a desktop entry and the icon under a prefix, keeps the counter and the recordings on a
// reinstall, and leaves them when uninstalling. The program writes the icon itself.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "AppTestSupport.h"

namespace tavrino {
namespace {

using test::ReadFile;

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Runs a program with the test's environment (sanitizer options included) but no display.
Outcome RunProgram(const QString& program, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    p.start(program, args);
    Outcome r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("timed out");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

Outcome InstallApp(const QStringList& args) {
    return RunProgram(QStringLiteral(TAVRINO_SOURCE_DIR "/scripts/install-app"), args);
}

// The value of `key=` in a desktop entry, or a null string.
QString EntryValue(const QString& entry, const QString& key) {
    for (const QString& line : entry.split(QLatin1Char('\n'))) {
        if (line.startsWith(key + QLatin1Char('='))) return line.mid(key.size() + 1);
    }
    return {};
}

bool Exists(const QString& path) { return QFileInfo::exists(path); }

TEST(Install, PutsEverythingInPlaceKeepsRecordingsAndUninstallLeavesThem) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    // The release build's program folder: the program, its codec plugin and its help page.
    const QString binDir = tmp.filePath(QStringLiteral("build"));
    ASSERT_TRUE(QDir().mkpath(binDir));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TAVRINO_PROGRAM), binDir + QStringLiteral("/tavrino")));
    QFile::setPermissions(binDir + QStringLiteral("/tavrino"),
                          QFile::permissions(binDir + QStringLiteral("/tavrino")) | QFileDevice::ExeOwner);
    ASSERT_TRUE(QFile::copy(QStringLiteral(TAVRINO_SOURCE_DIR "/app/bangzhu.htm"), binDir + QStringLiteral("/bangzhu.htm")));
    // The plugins beside the program: the codecs (libavcodec) and the player (Qt Multimedia).
    const QString plugin = QStringLiteral("/libtavrino-codecs.so");
    const QString player = QStringLiteral("/libtavrino-player.so");
    for (const QString& p : {plugin, player}) ASSERT_TRUE(QFile::copy(QStringLiteral(TAVRINO_PLUGIN_DIR) + p, binDir + p));

    // A prefix with a space: the launcher and the desktop entry must quote it.
    const QString prefix = tmp.filePath(QStringLiteral("my prefix"));
    const QString app = prefix + QStringLiteral("/lib/tavrino");
    const QString launcher = prefix + QStringLiteral("/bin/tavrino");
    const QString desktop = prefix + QStringLiteral("/share/applications/org.tavrino.Tavrino.desktop");
    const QString manual = prefix + QStringLiteral("/share/man/man1/tavrino.1");
    const QString icon = prefix + QStringLiteral("/share/icons/hicolor/256x256/apps/tavrino.png");

    Outcome r = InstallApp({prefix, binDir});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(launcher)) << r.out.toStdString();

    EXPECT_EQ(ReadFile(app + QStringLiteral("/tavrino")), ReadFile(binDir + QStringLiteral("/tavrino")));
    EXPECT_TRUE(QFileInfo(app + QStringLiteral("/tavrino")).isExecutable());
    EXPECT_EQ(ReadFile(app + plugin), ReadFile(binDir + plugin));
    EXPECT_EQ(ReadFile(app + QStringLiteral("/bangzhu.htm")), ReadFile(binDir + QStringLiteral("/bangzhu.htm")));
    EXPECT_EQ(ReadFile(app + player), ReadFile(binDir + player));
    EXPECT_EQ(ReadFile(app + QStringLiteral("/nu.ini")), QByteArray("1\r\n"));
    EXPECT_TRUE(QFileInfo(app + QStringLiteral("/file")).isDir());

    // The launcher starts the installed program with the arguments given.
    ASSERT_TRUE(QFileInfo(launcher).isExecutable());
    r = RunProgram(launcher, {QStringLiteral("--help")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("--write-icon PATH"))) << r.out.toStdString();

    const QString entry = QString::fromUtf8(ReadFile(desktop));
    EXPECT_EQ(EntryValue(entry, QStringLiteral("Exec")), QLatin1Char('"') + launcher + QLatin1Char('"'));
    EXPECT_EQ(EntryValue(entry, QStringLiteral("Icon")), QStringLiteral("tavrino"));
    EXPECT_FALSE(entry.contains(QLatin1Char('@')));
    EXPECT_EQ(ReadFile(manual), ReadFile(QStringLiteral(TAVRINO_SOURCE_DIR "/app/tavrino.1")));

    QImageReader reader(icon);
    EXPECT_EQ(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    EXPECT_EQ(image.size(), QSize(256, 256)) << reader.errorString().toStdString();

    // A reinstall replaces the program and help page but keeps the counter and recordings.
    const QString recording = app + QStringLiteral("/file/录音41.wav");
    {
        QFile f(recording);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("RIFF-recording");
        QFile n(app + QStringLiteral("/nu.ini"));
        ASSERT_TRUE(n.open(QIODevice::WriteOnly));
        n.write("42\r\n");
        QFile h(app + QStringLiteral("/bangzhu.htm"));
        ASSERT_TRUE(h.open(QIODevice::WriteOnly));
        h.write("old help");
    }
    r = InstallApp({prefix, binDir});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(ReadFile(app + QStringLiteral("/nu.ini")), QByteArray("42\r\n"));
    EXPECT_EQ(ReadFile(recording), QByteArray("RIFF-recording"));
    EXPECT_EQ(ReadFile(app + QStringLiteral("/bangzhu.htm")), ReadFile(binDir + QStringLiteral("/bangzhu.htm")));

    r = InstallApp({QStringLiteral("--uninstall"), prefix});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    for (const QString& gone : {app + QStringLiteral("/tavrino"), app + plugin, app + QStringLiteral("/bangzhu.htm"),
                                launcher, desktop, icon, manual, app + player}) {
        EXPECT_FALSE(Exists(gone)) << gone.toStdString();
    }
    EXPECT_EQ(ReadFile(app + QStringLiteral("/nu.ini")), QByteArray("42\r\n"));
    EXPECT_EQ(ReadFile(recording), QByteArray("RIFF-recording"));

    // Without recordings left, uninstalling removes the application folder too.
    ASSERT_TRUE(QDir(app).removeRecursively());
    ASSERT_EQ(InstallApp({prefix, binDir}).code, 0);
    ASSERT_TRUE(QFile::remove(app + QStringLiteral("/nu.ini")));
    ASSERT_TRUE(QDir(app).rmdir(QStringLiteral("file")));
    r = InstallApp({QStringLiteral("--uninstall"), prefix});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_FALSE(Exists(app));
    EXPECT_FALSE(Exists(launcher));
}

TEST(Install, RefusesAMissingProgramAndAnUnwritableIcon) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    Outcome r = InstallApp({tmp.filePath(QStringLiteral("prefix")), tmp.filePath(QStringLiteral("no-build"))});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains(QStringLiteral("no program"))) << r.err.toStdString();
    EXPECT_FALSE(Exists(tmp.filePath(QStringLiteral("prefix/bin/tavrino"))));

    // --write-icon works without a display and says why it cannot write.
    const QString png = tmp.filePath(QStringLiteral("icon.png"));
    r = RunProgram(QStringLiteral(TAVRINO_PROGRAM), {QStringLiteral("--write-icon"), png});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QImage(png).size(), QSize(256, 256));
    r = RunProgram(QStringLiteral(TAVRINO_PROGRAM),
                   {QStringLiteral("--write-icon"), tmp.filePath(QStringLiteral("no/such/folder/icon.png"))});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains(QStringLiteral("无法把图标写到"))) << r.err.toStdString();
}

}  // namespace
}  // namespace tavrino
