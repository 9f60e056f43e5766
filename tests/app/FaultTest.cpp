// SPDX-License-Identifier: GPL-3.0-or-later
// The program as a hostile user meets it: failing system calls (an LD_PRELOAD shim built
// with the tests), locks that others hold, outputs that are no outputs, signals really sent;
// each row with its exit status, message and the folder as it is left.
#include <gtest/gtest.h>

#include <signal.h>

#include "AppTestSupport.h"
#include "app/CommandLine.h"
#include "recording/OutputNaming.h"
#include "recording/RecordingController.h"

namespace tavrino {
namespace {

using test::AppFolder;
using test::WaitFor;

// The counter, then each recording with its size ("=0", or "+" when it holds audio).
QString Listing(const AppFolder& f) {
    QString out = QString::fromLatin1(f.Counter()).trimmed();
    for (const QFileInfo& i : QDir(f.Path() + QStringLiteral("/file")).entryInfoList(QDir::Files, QDir::Name))
        out += QLatin1Char(' ') + i.fileName() + (i.size() > 46 ? QStringLiteral("+") : QStringLiteral("=%1").arg(i.size()));
    return out;
}

// One run a row: what | TAVRINO_AUDIO ("window:" + it for the window, offscreen) | the
// arguments ({dir}: the application folder) | the shim's rules (FaultShim.cpp) | a file made
// empty before (NAME>TARGET: a link to TARGET) | a file this test holds locked meanwhile |
// "mv" to rename file/ once the recording holds audio | the signal then sent | the exit
// status (-1: killed by a signal) | what stderr holds | Listing() afterwards | the recording
// stdout names.
const char* const kRuns[] = {
    "no file locks (ENOLCK)|test:ramp,pace=fast|--record 0.3|flock:/:37||||0|0||2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "the counter locked by another|test:ramp,pace=fast|--record 0.3|||nu.ini||0|1|{dir}/nu.ini 被另一个程序锁住|1|",
    "sync fails|test:ramp,pace=fast|--record 0.3|fdatasync:录音:5||||0|1|Write error (no disk space left?)! ({dir}/file/录音1.wav: "
    "|2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "close fails|test:ramp,pace=fast|--record 0.3|close:录音1:5||||0|1|Write error (no disk space left?)! ({dir}/file/录音1.wav: "
    "|2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "another user's empty file|test:ramp,pace=fast|--record 0.3|open:录音1:13|file/录音1.wav|||0|0||3 录音1.wav=0 录音2.wav+ 录音3.wav=0|file/录音2.wav",
    "capture cannot start|test:tone,fail=start|--record 0.3|||||0|1|不能启动录音功能!|1 录音1.wav=0|",
    "output onto the counter|test:tone|--record 1 --output {dir}/counter.wav --force||counter.wav>nu.ini|||0|2|{dir}/counter.wav 是计数文件|1|",
    "output onto the program|test:tone|--record 1 --output=./tavrino --force|||||0|2|{dir}/tavrino 是程序本身|1|",
    "output that a recording holds|test:tone|--record 1 --output {dir}/take.wav||take.wav|take.wav||0|2|正在写这个文件: {dir}/take.wav|1|",
    "a chosen output|test:ramp,pace=fast|--record 0.3 --output {dir}/take.wav|||||0|0||1|take.wav",
    "a chosen output, nothing captured|test:ramp,pace=fast,frames=0,end=lost|--record 0.3 --output {dir}/take.wav|||||0|1||1|",
    "Ctrl+C|test:tone|--record 20|||||2|130||2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "kill|test:tone|--record 20|||||15|143||2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "logout|test:tone|--record 20|||||1|129||2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "nohup|nohup:test:tone|--record 1|||||1|0|1.000 秒|2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "kill, and again while the file is finished|test:tone|--record 20|fdatasync:录音:1015||||15|143||2 录音1.wav+ 录音2.wav=0|file/录音1.wav",
    "Ctrl+C, and again while the file is finished|test:tone|--record 20|fdatasync:录音:1002||||2|-1||1 录音1.wav+|",
    "the window, its folder gone|window:test:tone|--start||||mv|15|143|找不到录音文件夹|1|",
};

TEST(Hostile, FailuresLocksOutputsAndSignals) {
    for (const char* run : kRuns) {
        const QStringList c = QString::fromUtf8(run).split(QLatin1Char('|'));
        SCOPED_TRACE(c[0].toStdString());
        AppFolder folder("1\r\n");
        test::ProgramCopy program(folder);
        const auto in = [&](QString s) { return s.replace(QStringLiteral("{dir}"), folder.Path()); };
        const QString dir = in(QStringLiteral("{dir}/")), kind = c[1].section(QLatin1Char(':'), 0, 0);
        if (c[4].contains(QLatin1Char('>'))) {  // NAME>TARGET: a link
            QFile::link(dir + c[4].section(QLatin1Char('>'), 1), dir + c[4].section(QLatin1Char('>'), 0, 0));
        } else if (!c[4].isEmpty()) {
            QFile(dir + c[4]).open(QIODevice::WriteOnly);
        }
        FileClaim held;
        ASSERT_TRUE(c[5].isEmpty() || FileClaim::Try(dir + c[5], held));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), kind == QStringLiteral("window") ? QStringLiteral("offscreen") : QString());
        env.insert(QStringLiteral("TAVRINO_AUDIO"), kind == QStringLiteral("test") ? c[1] : c[1].section(QLatin1Char(':'), 1));
        env.insert(QStringLiteral("LD_PRELOAD"), c[3].isEmpty() ? QString() : QStringLiteral(TAVRINO_FAULT_SHIM));
        env.insert(QStringLiteral("TAVRINO_FAULT"), c[3]);
        env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(folder.Path());
        // nohup: SIGHUP ignored from the start.
        const QString shell = kind == QStringLiteral("nohup") ? QStringLiteral("trap '' HUP; ") : QString();
        p.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), shell + QStringLiteral("exec \"$0\" \"$@\""), program.Path()} + in(c[2]).split(QLatin1Char(' ')));
        if (c[7].toInt() != 0) {
            EXPECT_TRUE(WaitFor([&] { return QFileInfo(folder.Recording(1)).size() > 46 + 20000; }, 20000));
            if (c[6] == QStringLiteral("mv")) QDir().rename(dir + QStringLiteral("file"), dir + QStringLiteral("moved"));
            ::kill(static_cast<pid_t>(p.processId()), c[7].toInt());
        }
        EXPECT_TRUE(p.waitForFinished(30000) || (p.kill(), p.waitForFinished(), false)) << "still running";
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, c[8].toInt()) << err.toStdString();
        EXPECT_TRUE(err.contains(in(c[9]))) << err.toStdString();
        EXPECT_EQ(Listing(folder).toStdString(), c[10].toStdString());
        EXPECT_EQ(p.readAllStandardOutput().toStdString(), c[11].isEmpty() ? std::string() : (dir + c[11] + QLatin1Char('\n')).toStdString());
        EXPECT_TRUE(c[11].isEmpty() || test::U32(test::ReadFile(dir + c[11]), 4) == QFileInfo(dir + c[11]).size() - 8);  // finished
    }
}

// Every ranged value at both ends and one step beyond: "+" taken, "-" refused.
TEST(Hostile, RangedValuesAtBothEndsAndOneStepBeyond) {
    for (const QString& r : QStringLiteral("+record=0.001 +record=604800 -record=0.0009 -record=604800.01 +max-file-time=1 "
                                           "+max-file-time=604800 -max-file-time=0.99 -max-file-time=604800.01 +rate=1000 "
                                           "+rate=96000 -rate=999 -rate=96001 +icon-size=1 +icon-size=1024 -icon-size=0 "
                                           "-icon-size=1025 +1000 +96000 -999 -96001").split(QLatin1Char(' '))) {
        const QString first = r.contains(QStringLiteral("icon")) ? QStringLiteral("--write-icon=i.png") : QStringLiteral("--record=1");
        const bool taken = r.at(1).isDigit() ? RecordingController::ParseSampleRate(r.mid(1)).has_value()  // the window's rate
                                             : ParseCommandLine({first, QStringLiteral("--") + r.mid(1)}).error.isEmpty();
        EXPECT_EQ(taken, r.startsWith(QLatin1Char('+'))) << r.toStdString();
    }
}

}  // namespace
}  // namespace tavrino
