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

struct Attempt {
    const char* what;
    QString audio;       // TAVRINO_AUDIO
    QStringList args;    // {dir}: the application folder
    QString faults;      // the shim's rules (FaultShim.cpp)
    QString made;        // a file made empty beforehand (relative to the folder)
    QString held;        // a file this test holds locked meanwhile
    int signal = 0;      // sent once the recording holds audio
    bool hupIgnored = false;  // started with SIGHUP ignored, as nohup does
    int status = 0;      // -1: ended by a signal
    QString err;         // stderr holds this ({dir} as above)
    QString after;       // Listing() afterwards
    QString out = QStringLiteral("file/录音1.wav");  // the recording stdout names ("": none)
};

TEST(Hostile, FailuresLocksOutputsAndSignals) {
    const QString kTone = QStringLiteral("test:tone"), kFast = QStringLiteral("test:ramp,pace=fast");
    const QStringList kLong = {QStringLiteral("--record"), QStringLiteral("20")};
    const QStringList kShort = {QStringLiteral("--record"), QStringLiteral("0.3")};
    const QString kWrite = QStringLiteral("Write error (no disk space left?)! ({dir}/file/录音1.wav: ");
    const QString kDone = QStringLiteral("2 录音1.wav+ 录音2.wav=0");
    const std::vector<Attempt> rows = {
        {"no file locks (ENOLCK)", kFast, kShort, QStringLiteral("flock::37"), {}, {}, 0, false, 0, {}, kDone},
        {"the counter locked by another", kFast, kShort, {}, {}, QStringLiteral("nu.ini"), 0, false, 1,
         QStringLiteral("{dir}/nu.ini 被另一个程序锁住"), QStringLiteral("1"), {}},
        {"sync fails", kFast, kShort, QStringLiteral("fdatasync:录音:5"), {}, {}, 0, false, 1, kWrite, kDone},
        {"close fails", kFast, kShort, QStringLiteral("close:录音1:5"), {}, {}, 0, false, 1, kWrite, kDone},
        {"another user's empty file", kFast, kShort, QStringLiteral("open:录音1:13"), QStringLiteral("file/录音1.wav"), {}, 0,
         false, 0, {}, QStringLiteral("3 录音1.wav=0 录音2.wav+ 录音3.wav=0"), QStringLiteral("file/录音2.wav")},
        {"capture cannot start", QStringLiteral("test:tone,fail=start"), kShort, {}, {}, {}, 0, false, 1,
         QStringLiteral("不能启动录音功能!"), QStringLiteral("1 录音1.wav=0"), {}},
        {"output onto the counter", kFast, kShort + QStringList{QStringLiteral("--output"), QStringLiteral("{dir}/nu.ini"), QStringLiteral("--force")},
         {}, {}, {}, 0, false, 2, QStringLiteral("{dir}/nu.ini 是计数文件"), QStringLiteral("1"), {}},
        {"output onto the program", kFast, kShort + QStringList{QStringLiteral("--output=./tavrino"), QStringLiteral("--force")}, {}, {},
         {}, 0, false, 2, QStringLiteral("{dir}/tavrino 是程序本身"), QStringLiteral("1"), {}},
        {"output that a recording holds", kFast, kShort + QStringList{QStringLiteral("--output"), QStringLiteral("{dir}/take.wav")}, {},
         QStringLiteral("take.wav"), QStringLiteral("take.wav"), 0, false, 2, QStringLiteral("正在写这个文件: {dir}/take.wav"),
         QStringLiteral("1"), {}},
        {"a chosen output", kFast, kShort + QStringList{QStringLiteral("--output"), QStringLiteral("{dir}/take.wav")}, {}, {}, {}, 0,
         false, 0, {}, QStringLiteral("1"), QStringLiteral("take.wav")},
        {"a chosen output, nothing captured", QStringLiteral("test:ramp,pace=fast,frames=0,end=lost"),
         kShort + QStringList{QStringLiteral("--output"), QStringLiteral("{dir}/take.wav")}, {}, {}, {}, 0, false, 1, {},
         QStringLiteral("1"), {}},
        {"Ctrl+C", kTone, kLong, {}, {}, {}, SIGINT, false, 130, {}, kDone},
        {"kill", kTone, kLong, {}, {}, {}, SIGTERM, false, 143, {}, kDone},
        {"logout", kTone, kLong, {}, {}, {}, SIGHUP, false, 129, {}, kDone},
        {"nohup", kTone, {QStringLiteral("--record"), QStringLiteral("1")}, {}, {}, {}, SIGHUP, true, 0, QStringLiteral("1.000 s"), kDone},
        {"kill, and again while the file is finished", kTone, kLong, QStringLiteral("fdatasync:录音:1015"), {}, {}, SIGTERM, false,
         143, {}, kDone},
        {"Ctrl+C, and again while the file is finished", kTone, kLong, QStringLiteral("fdatasync:录音:1002"), {}, {}, SIGINT,
         false, -1, {}, QStringLiteral("1 录音1.wav+"), {}},
    };
    for (const Attempt& r : rows) {
        SCOPED_TRACE(r.what);
        AppFolder folder("1\r\n");
        test::ProgramCopy program(folder);
        QStringList args;
        for (const QString& a : r.args) args << QString(a).replace(QStringLiteral("{dir}"), folder.Path());
        if (!r.made.isEmpty()) QFile(folder.Path() + QLatin1Char('/') + r.made).open(QIODevice::WriteOnly);
        FileClaim held;
        ASSERT_TRUE(r.held.isEmpty() || FileClaim::Try(folder.Path() + QLatin1Char('/') + r.held, held));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QLatin1String(v));
        env.insert(QStringLiteral("TAVRINO_AUDIO"), r.audio);
        if (!r.faults.isEmpty()) {
            env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TAVRINO_FAULT_SHIM));
            env.insert(QStringLiteral("TAVRINO_FAULTS"), r.faults);
            env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
        }
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(folder.Path());
        if (r.hupIgnored) {
            p.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), QStringLiteral("trap '' HUP; exec \"$0\" \"$@\""), program.Path()} + args);
        } else {
            p.start(program.Path(), args);
        }
        if (r.signal != 0) {
            EXPECT_TRUE(WaitFor([&] { return QFileInfo(folder.Recording(1)).size() > 46 + 20000; }, 20000));
            ::kill(static_cast<pid_t>(p.processId()), r.signal);
        }
        if (!p.waitForFinished(30000)) {
            ADD_FAILURE() << "still running";
            p.kill();
            p.waitForFinished();
        }
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, r.status) << err.toStdString();
        EXPECT_TRUE(err.contains(QString(r.err).replace(QStringLiteral("{dir}"), folder.Path()))) << err.toStdString();
        EXPECT_EQ(Listing(folder).toStdString(), r.after.toStdString());
        const QString path = folder.Path() + QLatin1Char('/') + r.out;
        EXPECT_EQ(p.readAllStandardOutput().toStdString(), r.out.isEmpty() ? std::string() : (path + QLatin1Char('\n')).toStdString());
        if (!r.out.isEmpty()) {
            EXPECT_EQ(test::U32(test::ReadFile(path), 4), QFileInfo(path).size() - 8);  // finished
        }
    }
}

// After a signal nothing waits for a person: the window's message for a folder that went
// away goes to stderr, and the program ends with the signal's status.
TEST(Hostile, TheWindowEndsOnASignalWithoutAMessageBox) {
    AppFolder folder("1\r\n");
    test::ProgramCopy program(folder);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TAVRINO_AUDIO"), QStringLiteral("test:tone"));
    p.setProcessEnvironment(env);
    p.start(program.Path(), {QStringLiteral("--start")});
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(folder.Recording(1)).size() > 46 + 20000; }, 20000));
    ASSERT_TRUE(QDir().rename(folder.Path() + QStringLiteral("/file"), folder.Path() + QStringLiteral("/moved")));
    p.terminate();
    EXPECT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 128 + SIGTERM);
    EXPECT_TRUE(QString::fromLocal8Bit(p.readAllStandardError()).contains(QStringLiteral("找不到录音文件夹")));
    p.kill();
    p.waitForFinished();
}

// Every ranged value is taken at both ends and refused one step beyond.
TEST(Hostile, RangedValuesAtBothEndsAndOneStepBeyond) {
    struct Row { QStringList args; bool ok; };
    const auto rec = [](const char* o, const char* v) { return QStringList{QStringLiteral("--record=1"), QLatin1String(o), QLatin1String(v)}; };
    const Row rows[] = {
        {{QStringLiteral("--record=0.001")}, true}, {{QStringLiteral("--record=604800")}, true},
        {{QStringLiteral("--record=0.0009")}, false}, {{QStringLiteral("--record=604800.01")}, false},
        {rec("--max-file-time", "1"), true}, {rec("--max-file-time", "604800"), true},
        {rec("--max-file-time", "0.99"), false}, {rec("--max-file-time", "604800.01"), false},
        {rec("--rate", "1000"), true}, {rec("--rate", "96000"), true}, {rec("--rate", "999"), false}, {rec("--rate", "96001"), false},
        {{QStringLiteral("--write-icon=i.png"), QStringLiteral("--icon-size=1")}, true},
        {{QStringLiteral("--write-icon=i.png"), QStringLiteral("--icon-size=1024")}, true},
        {{QStringLiteral("--write-icon=i.png"), QStringLiteral("--icon-size=0")}, false},
        {{QStringLiteral("--write-icon=i.png"), QStringLiteral("--icon-size=1025")}, false},
    };
    for (const Row& r : rows) EXPECT_EQ(ParseCommandLine(r.args).error.isEmpty(), r.ok) << r.args.join(QLatin1Char(' ')).toStdString();
    for (int rate : {999, 1000, 96000, 96001}) {
        EXPECT_EQ(RecordingController::ParseSampleRate(QString::number(rate)).has_value(), rate >= 1000 && rate <= 96000) << rate;
    }
}

}  // namespace
}  // namespace tavrino
