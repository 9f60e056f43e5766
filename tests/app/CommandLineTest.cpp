// SPDX-License-Identifier: GPL-3.0-or-later
// The command line as a user meets it: the program run without a display, one row per
// invocation with the exit status and the key output it must give.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdlib>
#include <functional>
#include <vector>

#include "AppTestSupport.h"
#include "app/CommandLine.h"

namespace tavrino {
namespace {

using test::AppFolder;
using test::ReadFile;
using test::U32;

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

// Runs the program in `dir` (its working folder too) without a display; TAVRINO_AUDIO =
// `audio`, and the environment changed by `env`.
Outcome RunProgram(const QString& program, const QString& dir, const QString& audio, const QStringList& args,
            const std::function<void(QProcessEnvironment&)>& env = {}) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) e.remove(QLatin1String(v));
    e.insert(QStringLiteral("TAVRINO_AUDIO"), audio);
    if (env) env(e);
    p.setProcessEnvironment(e);
    p.setWorkingDirectory(dir);
    p.start(program, args);
    Outcome o;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

// The "fmt " fields of a WAV file: tag, channels, rate, bits.
struct Fmt {
    uint32_t tag, channels, rate, bits;
    bool operator==(const Fmt&) const = default;
};
Fmt FmtOf(const QString& path) {
    const QByteArray f = ReadFile(path);
    return {U32(f, 20) & 0xFFFF, U32(f, 22) & 0xFFFF, U32(f, 24), U32(f, 34) & 0xFFFF};
}

struct Row {
    const char* what;
    QString audio;        // TAVRINO_AUDIO
    QStringList args;
    int status;
    QString out;          // a pattern the whole stdout matches; {dir} is the folder
    QString err;          // stderr holds this
    std::function<void(const QString& printed)> check = {};  // on stdout's first line
    QString errLacks = {};  // stderr does not hold this
};

// Runs the rows in order in one application folder; the counter moves on between them.
void RunRows(const AppFolder& folder, const test::ProgramCopy& program, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome o = RunProgram(program.Path(), folder.Path(), row.audio, row.args);
        EXPECT_EQ(o.status, row.status) << o.err.toStdString();
        QString pattern = row.out;
        pattern.replace(QStringLiteral("{dir}"), QRegularExpression::escape(folder.Path()));
        EXPECT_TRUE(QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                                       QRegularExpression::DotMatchesEverythingOption)
                        .match(o.out)
                        .hasMatch())
            << "stdout: " << o.out.toStdString();
        EXPECT_TRUE(o.err.contains(row.err)) << "stderr: " << o.err.toStdString();
        if (!row.errLacks.isEmpty()) {
            EXPECT_FALSE(o.err.contains(row.errLacks)) << "stderr: " << o.err.toStdString();
        }
        // Messages carry the program's name once, never a message box's caption too.
        EXPECT_FALSE(o.err.contains(QStringLiteral("tavrino: Tavrino:")) || o.err.contains(QStringLiteral("tavrino: 提示:")))
            << o.err.toStdString();
        if (row.check) row.check(o.out.section(QLatin1Char('\n'), 0, 0));
    }
}

const QString kRecorded = QStringLiteral("{dir}/file/录音\\d+\\.wav\n");

TEST(CommandLineRows, UsageListsAndRecordingsFromTheTestSource) {
    AppFolder folder("1\r\n");
    test::ProgramCopy program(folder);
    // The first device fails to open: a row that records from it chose the wrong one.
    const QString devices = QStringLiteral("test:tone,fail=open;ramp,name=Monitor of Line In,pace=fast");
    const QString take = folder.Path() + QStringLiteral("/take.wav");
    QByteArray firstTake;
    const std::vector<Row> rows = {
        {"version", devices, {QStringLiteral("--version")}, 0, QStringLiteral("Tavrino 2\\.0\n"), {}},
        {"help", devices, {QStringLiteral("-h")}, 0,
         QStringLiteral(".*--format TAG\\[:ATTRIBUTE\\].*--write-icon PATH.*128\\+N.*"), {}},
        {"unknown option", devices, {QStringLiteral("--bogus")}, 2, {}, QStringLiteral("tavrino: 未知选项: --bogus")},
        {"unknown option with a value", devices, {QStringLiteral("--recrod=5")}, 2, {}, QStringLiteral("未知选项: --recrod")},
        {"missing value", devices, {QStringLiteral("--record")}, 2, {},
         QStringLiteral("--record 缺少值: SECONDS 须在 0.001 到 604800")},
        {"seconds out of range", devices, {QStringLiteral("--record"), QStringLiteral("1e6")}, 2, {},
         QStringLiteral("--record: \"1e6\" 不可用: SECONDS 须在 0.001 到 604800")},
        {"rate out of range", devices, {QStringLiteral("--record=1"), QStringLiteral("--rate"), QStringLiteral("500")}, 2,
         {}, QStringLiteral("--rate: \"500\" 不可用: HZ 须在 1000 到 96000 之间")},
        {"ambiguous tag", devices, {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--format"), QStringLiteral("adpcm")},
         2, {}, QStringLiteral("可选的格式名: IMA ADPCM, Microsoft ADPCM")},
        {"ambiguous attribute", devices,
         {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--format"), QStringLiteral("ima adpcm:stereo")}, 2, {},
         QStringLiteral("属性不明确 \"stereo\" (IMA ADPCM); 可选的属性:\n  8.000 kHz, 4 Bit, Stereo\n")},
        {"window option with a timed recording", devices, {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--start")},
         2, {}, QStringLiteral("--start 只能和")},
        {"the window without a display", devices, {}, 1, {}, QStringLiteral("窗口需要显示器")},
        {"formats for 8 kHz mono", devices,
         {QStringLiteral("--list-formats"), QStringLiteral("--rate"), QStringLiteral("8000"), QStringLiteral("--mono")}, 0,
         QStringLiteral("PCM\t8.000 kHz, 8 Bit, Mono\t8000 bytes/s\n.*\nGSM 6\\.10\t8\\.000 kHz, Mono\t1625 bytes/s\n.*"), {}},
        {"devices", devices, {QStringLiteral("--list-devices")}, 0,
         QStringLiteral("0\t\\*\ttest\\.0\tTest tone 440 Hz\n1\t-\ttest\\.1\tMonitor of Line In\n"), {}},
        {"no device matches", devices, {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--device"), QStringLiteral("usb")},
         1, {}, QStringLiteral("没有选择硬件设备! (没有名称或描述含有 \"usb\" 的录音设备")},
        {"device in other letter case, a tag at a rate and channels", devices,
         {QStringLiteral("--record"), QStringLiteral("0.5"), QStringLiteral("--device"), QStringLiteral("MONITOR"),
          QStringLiteral("--format"), QStringLiteral("ima adpcm"), QStringLiteral("--rate"), QStringLiteral("22050"),
          QStringLiteral("--mono")},
         0, kRecorded, QStringLiteral("IMA ADPCM - 22.050 kHz, 4 Bit, Mono"),
         [](const QString& path) { EXPECT_EQ(FmtOf(path), (Fmt{0x11, 1, 22050, 4})); }},
        {"device by its name, a whole attribute", devices,
         {QStringLiteral("--record"), QStringLiteral("0.5"), QStringLiteral("--device=TEST.1"), QStringLiteral("--format"),
          QStringLiteral("PCM:22.050 kHz, 8 bit, mono")},
         0, kRecorded, QStringLiteral("0.500 秒 (22050 帧)"),
         [](const QString& path) { EXPECT_EQ(FmtOf(path), (Fmt{1, 1, 22050, 8})); }},
        {"a chosen output", devices,
         {QStringLiteral("--record"), QStringLiteral("0.25"), QStringLiteral("--device"), QStringLiteral("line"),
          QStringLiteral("--output"), QStringLiteral("take.wav")},
         0, QStringLiteral("{dir}/take\\.wav\n"), {},
         [&](const QString&) {
             firstTake = ReadFile(take);
             EXPECT_EQ(firstTake.size(), 46 + 11025 * 4);
         }},
        {"a chosen output that holds a recording", devices,
         {QStringLiteral("--record"), QStringLiteral("0.5"), QStringLiteral("--device"), QStringLiteral("line"),
          QStringLiteral("--output"), take},
         1, {}, QStringLiteral("已存在且不是空的; 要覆盖它请加 --force"),
         [&](const QString&) { EXPECT_EQ(ReadFile(take), firstTake); }},
        {"--force replaces it", devices,
         {QStringLiteral("--record"), QStringLiteral("0.5"), QStringLiteral("--device"), QStringLiteral("line"),
          QStringLiteral("--output"), take, QStringLiteral("--force")},
         0, QStringLiteral("{dir}/take\\.wav\n"), {},
         [&](const QString&) { EXPECT_EQ(ReadFile(take).size(), 46 + 22050 * 4); }},
        {"a server out of reach", QStringLiteral("pulse:unix:/nonexistent/tavrino"),
         {QStringLiteral("--record"), QStringLiteral("1")}, 1, {}, QStringLiteral("tavrino: 无法连接到声音服务器: ")},
        {"a server out of reach, listing", QStringLiteral("pulse:unix:/nonexistent/tavrino"),
         {QStringLiteral("--list-devices")}, 1, {}, QStringLiteral("tavrino: 无法连接到声音服务器: ")},
    };
    RunRows(folder, program, rows);
}

// What users of arecord, parecord and rec expect: the file at the recording's rate and
// channels, getopt's short options, one language on stderr, a bad TAVRINO_AUDIO refused.
TEST(CommandLineRows, ShortOptionsDefaultFormatsAndOneLanguage) {
    using namespace Qt::StringLiterals;
    AppFolder folder("1\r\n");
    test::ProgramCopy program(folder);
    const QString two = u"test:ramp,pace=fast;tone,name=Line In,pace=fast"_s;
    auto a = [](const QString& line) { return line.split(QLatin1Char(' ')); };
    auto is = [](Fmt want) { return [want](const QString& path) { EXPECT_EQ(FmtOf(path), want); }; };
    const std::vector<Row> rows = {
        {"no --format: the recording's rate and channels", two, a(u"--record 0.5 --rate 48000 --mono"_s), 0, kRecorded,
         u"tavrino: 0.500 秒 (24000 帧), PCM - 48.000 kHz, 16 Bit, Mono, 丢失 0 次"_s, is({1, 1, 48000, 16}), u"overruns"_s},
        {"short options, values glued and apart, a .wav output", two, a(u"--record=0.25 -r8000 -c 1 -dline -o take.wav"_s),
         0, u"{dir}/take\\.wav\n"_s, u"tavrino: 从 \"Line In\" 录音 0.25 秒"_s, is({1, 1, 8000, 16})},
        {"combined short options, quiet", two, a(u"-qc1 --record 0.25 -r 22050"_s), 0, kRecorded, {}, is({1, 1, 22050, 16}),
         u"tavrino"_s},
        {"--channels, the last channel option wins", two, a(u"--record 0.25 --mono --channels 2 -r 11025"_s), 0, kRecorded,
         {}, is({1, 2, 11025, 16})},
        {"a tag alone: the most bits up to 16", two, a(u"--record 0.25 -f pcm"_s), 0, kRecorded, {}, is({1, 2, 44100, 16}),
         u"低于"_s},
        {"a tag alone below the recording is told", two, a(u"--record 0.25 -f mpeg -r 96000"_s), 0, kRecorded,
         u"tavrino: 输出格式 MPEG Layer-3 48.000 kHz, 320 kBit/s, Stereo 低于录音的 96000 Hz 立体声"_s,
         is({0x55, 2, 48000, 0})},
        {"channels out of range", two, a(u"--record 1 -c 3"_s), 2, {}, u"--channels: \"3\" 不可用: N 须为 1"_s},
        {"an unknown short option among known ones", two, a(u"-qx"_s), 2, {}, u"tavrino: 未知选项: -x"_s},
        {"test devices that do not parse", u"test:bogus"_s, a(u"--record 1"_s), 2, {}, u"TAVRINO_AUDIO=test:bogus 不可用"_s},
        {"no such backend", u"bogus"_s, a(u"--list-devices"_s), 2, {}, u"TAVRINO_AUDIO=bogus 不可用"_s},
    };
    RunRows(folder, program, rows);
    // "-" is a value like any other: "-o -" reaches the program as the output "-".
    EXPECT_EQ(ParseCommandLine({u"--record"_s, u"1"_s, u"-qo"_s, u"-"_s}).output, u"-"_s);
}

TEST(CommandLineRows, TheSoundServersSourcesByNameOrDescriptionInAnyLetterCase) {
    const char* dir = std::getenv("TAVRINO_TEST_PULSE_DIR");
    if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "needs the private PulseAudio server that make test starts";
    AppFolder folder("1\r\n");
    test::ProgramCopy program(folder);
    const QString pulse = QStringLiteral("pulse");
    const std::vector<Row> rows = {
        {"devices", pulse, {QStringLiteral("--list-devices")}, 0,
         QStringLiteral(".*\\d\t[*-]\ttavrino_test_sink\\.monitor\tMonitor of Tavrino_Test_Sink\n.*"), {}},
        {"by name", pulse,
         {QStringLiteral("--record"), QStringLiteral("0.3"), QStringLiteral("--device"), QStringLiteral("TAVRINO_TEST_SINK.MONITOR")},
         0, kRecorded, QStringLiteral("从 \"Monitor of Tavrino_Test_Sink\" 录音")},
        {"by description", pulse,
         {QStringLiteral("--record"), QStringLiteral("0.3"), QStringLiteral("--device"), QStringLiteral("monitor of TAVRINO")},
         0, kRecorded, QStringLiteral("从 \"Monitor of Tavrino_Test_Sink\" 录音")},
    };
    RunRows(folder, program, rows);
}

TEST(CommandLineRows, AWritableProgramFolderIsNeverFilledIn) {
    // No counter file beside a program its user may write: the failure is told, and
    // neither that folder nor the user's data folder gets one.
    AppFolder folder(QByteArray(), false);
    test::ProgramCopy program(folder);
    QTemporaryDir home;
    const Outcome o = RunProgram(program.Path(), folder.Path(), QStringLiteral("test:tone"), {QStringLiteral("--record"), QStringLiteral("1")},
                          [&](QProcessEnvironment& e) {
                              e.insert(QStringLiteral("HOME"), home.path());
                              e.remove(QStringLiteral("XDG_DATA_HOME"));
                          });
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.startsWith(QStringLiteral("tavrino: ")) && !o.err.contains(QStringLiteral("Tavrino:")))
        << o.err.toStdString();
    EXPECT_TRUE(o.out.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(folder.Path() + QStringLiteral("/nu.ini")));
    EXPECT_FALSE(QFileInfo::exists(folder.Path() + QStringLiteral("/file")));
    EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

}  // namespace
}  // namespace tavrino
