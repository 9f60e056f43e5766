// SPDX-License-Identifier: GPL-3.0-or-later
// The file types and pipes of the command line, through the program itself: what each type
// records, how a killed recording of each type decodes, and standard output as a pipe.
// FFmpeg's own programs read the results.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "AppTestSupport.h"

namespace tavrino {
namespace {

using test::AppFolder;
using test::ProgramCopy;
using test::WaitFor;

QString Shell(const QString& command) {
    QProcess sh;
    sh.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    sh.waitForFinished(60000);
    return QString::fromLocal8Bit(sh.readAllStandardOutput()).trimmed();
}

QString Quoted(const QString& path) { return QLatin1Char('\'') + path + QLatin1Char('\''); }

// The codec FFmpeg reads in a file and the seconds it decodes to.
struct Probe {
    QString codec;
    double seconds = -1;
};
Probe ProbeFile(const QString& path) {
    const QStringList stream =
        Shell(QStringLiteral("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,channels "
                           "-of csv=p=0 %1").arg(Quoted(path)))
            .split(QLatin1Char(','));
    if (stream.size() < 3) return {};
    const double bytes = Shell(QStringLiteral("ffmpeg -v error -i %1 -f s16le - | wc -c").arg(Quoted(path))).toDouble();
    return {stream[0], bytes / (2.0 * stream[2].toDouble() * stream[1].toDouble())};
}

TEST(FileTypes, EachTypeRecordsItsLengthAndSurvivesKillNine) {
    struct Row {
        const char* format;  // --format
        const char* extension;
        const char* codec;   // as ffprobe names it
        double tolerance;    // seconds the decoded length may differ from the asked
    };
    const Row rows[] = {{"PCM:44.100 kHz, 16 Bit, Stereo", "wav", "pcm_s16le", 0}, {"flac", "flac", "flac", 0},
                        {"opus:32 kBit/s, Mono", "opus", "opus", 0.001}, {"vorbis", "ogg", "vorbis", 0.001},
                        {"mp3", "mp3", "mp3", 0.001}};
    AppFolder folder("3\r\n");
    {
        QFile other(folder.Path() + QStringLiteral("/file/录音3.mp3"));  // number 3 is taken by another type
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write("an MP3 recording");
    }
    ProgramCopy program(folder);
    int n = 4;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.format);
        QProcess p;
        program.Start(p, QStringLiteral("test:tone,pace=fast"),
                      {QStringLiteral("--record"), QStringLiteral("1.5"), QStringLiteral("--format"), QLatin1String(row.format)});
        ASSERT_TRUE(p.waitForFinished(60000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        const QString numbered = folder.Path() + QStringLiteral("/file/录音%1.%2").arg(n++).arg(QLatin1String(row.extension));
        EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed(), numbered);
        const Probe recorded = ProbeFile(numbered);
        EXPECT_EQ(recorded.codec, QLatin1String(row.codec));
        EXPECT_NEAR(recorded.seconds, 1.5, row.tolerance + 1e-9);

        // Killed after about two seconds of audio: what the file holds decodes to within a
        // second of the kill.
        const QString killed = folder.Path() + QStringLiteral("/killed.") + QLatin1String(row.extension);
        program.Start(p, QStringLiteral("test:tone"),
                      {QStringLiteral("--record"), QStringLiteral("30"), QStringLiteral("--format"), QLatin1String(row.format),
                       QStringLiteral("--output"), killed});
        QByteArray said;
        ASSERT_TRUE(WaitFor([&] { return said.append(p.readAllStandardError()).contains(" 录音 30 秒"); }, 20000));
        QElapsedTimer recording;
        recording.start();
        WaitFor([] { return false; }, 2000);
        p.kill();
        const double atKill = static_cast<double>(recording.elapsed()) / 1000;
        ASSERT_TRUE(p.waitForFinished(10000));
        const Probe survivor = ProbeFile(killed);
        EXPECT_EQ(survivor.codec, QLatin1String(row.codec));
        EXPECT_GT(survivor.seconds, atKill - 1.0);
        EXPECT_LT(survivor.seconds, atKill + 0.5);
    }
    // Each numbered file prepared empty for the next type was renamed or removed, not left.
    const QDir files(folder.Path() + QStringLiteral("/file"));
    QStringList empty;
    for (const QFileInfo& f : files.entryInfoList(QDir::Files)) {
        if (f.size() == 0) empty << f.fileName();
    }
    EXPECT_EQ(empty, QStringList{QStringLiteral("录音9.mp3")});
}

TEST(FileTypes, StandardOutputFeedsAPipeAndEndsWhenItsReaderLeaves) {
    struct Row {
        const char* format;   // "" for the default WAV
        const char* devices;  // TAVRINO_AUDIO
        const char* reader;   // the rest of the pipeline
        const char* seconds;  // --record
        const char* expected; // what the pipeline prints
    };
    const Row rows[] = {
        {"", "test:ramp,pace=fast", "ffmpeg -v error -i - -f s16le - | wc -c", "1", "176400"},
        {"flac", "test:ramp,pace=fast", "ffmpeg -v error -i - -f s16le - | wc -c", "1", "176400"},
        {"", "test:tone", "head -c 1000 | wc -c; echo ${PIPESTATUS[0]}", "60", "1000\n141"},
        {"opus", "test:tone", "head -c 1000 | wc -c; echo ${PIPESTATUS[0]}", "60", "1000\n141"},
    };
    AppFolder folder;
    ProgramCopy program(folder);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.format) + " | " + row.reader);
        const QString format = *row.format ? QStringLiteral(" --format ") + QLatin1String(row.format) : QString();
        QElapsedTimer took;
        took.start();
        const QString errors = folder.Path() + QStringLiteral("/stderr");
        // SIGPIPE ignored, as some shells and services leave it: the program ends by it all the same.
        const QString out = Shell(QStringLiteral("trap '' PIPE; env -u DISPLAY TAVRINO_AUDIO='%1' %2 --record %3 --output -%4 2>%5 | %6")
                                    .arg(QLatin1String(row.devices), Quoted(program.Path()), QLatin1String(row.seconds), format,
                                         Quoted(errors), QLatin1String(row.reader)));
        EXPECT_EQ(out, QLatin1String(row.expected));
        const QByteArray said = test::ReadFile(errors);
        EXPECT_FALSE(said.contains("rror")) << said.toStdString();  // quietly, also when the reader leaves
        EXPECT_LT(took.elapsed(), 10000);  // a reader that leaves ends the recording, not the 60 s
    }
    // Standard output that is a file: the WAV header's sizes are completed at the end.
    QProcess p;
    p.setStandardOutputFile(folder.Path() + QStringLiteral("/out.wav"));
    program.Start(p, QStringLiteral("test:ramp,pace=fast"), {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--output"), QStringLiteral("/dev/stdout")});
    ASSERT_TRUE(p.waitForFinished(60000));
    std::string problem;
    EXPECT_EQ(test::PcmSamples(test::ReadFile(folder.Path() + QStringLiteral("/out.wav")), &problem).size(), 88200u) << problem;
}

TEST(FileTypes, TheOutputsExtensionNamesTheType) {
    struct Row {
        QStringList args;
        int status;
        const char* said;   // stderr or stdout holds this
        const char* codec;  // of the output file, "" when none is made
    };
    AppFolder folder;
    ProgramCopy program(folder);
    const QString out = folder.Path() + QStringLiteral("/take");
    const Row rows[] = {
        {{QStringLiteral("--output"), out + QStringLiteral(".xyz")}, 2, "不写 .xyz 文件; 可写的类型: .wav (WAV), .flac", ""},
        {{QStringLiteral("--format"), QStringLiteral("flac"), QStringLiteral("--output"), out + QStringLiteral(".mp3")}, 2,
         "--format FLAC 和 --output 的扩展名 .mp3 (MP3) 不符", ""},
        {{QStringLiteral("--output"), QStringLiteral("-"), QStringLiteral("--max-file-time"), QStringLiteral("5")}, 2,
         "--max-file-time 不能用于标准输出", ""},
        {{QStringLiteral("--output"), out + QStringLiteral("1.FLAC")}, 0, "FLAC - 44.100 kHz, 16 Bit, Stereo", "flac"},
        {{QStringLiteral("--format"), QStringLiteral("opus"), QStringLiteral("--output"), out + QStringLiteral("2.OGA")}, 0,
         "Opus - 48.000 kHz, 96 kBit/s, Stereo", "opus"},
        {{QStringLiteral("--output"), out + QStringLiteral("3.ogg"), QStringLiteral("--mono")}, 0,
         "Vorbis - 44.100 kHz, 64 kBit/s, Mono", "vorbis"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(QLatin1Char(' ')).toStdString());
        QProcess p;
        program.Start(p, QStringLiteral("test:tone,pace=fast"), QStringList{QStringLiteral("--record"), QStringLiteral("0.3")} + row.args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), row.status);
        const QString said = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_TRUE(said.contains(QString::fromUtf8(row.said))) << said.toStdString();
        if (*row.codec) {
            EXPECT_EQ(ProbeFile(row.args[row.args.indexOf(QStringLiteral("--output")) + 1]).codec, QLatin1String(row.codec));
        }
    }
}

// Without the codec plugin PCM records as ever; a format that needs it says why when chosen.
TEST(FileTypes, AMissingCodecLibraryIsToldWhenItsFormatIsChosen) {
    AppFolder folder;
    ProgramCopy program(folder);
    const QString plugin = QFileInfo(QStringLiteral(TAVRINO_PROGRAM)).absolutePath() + QStringLiteral("/libtavrino-codecs.so");
    const QString run = QStringLiteral("env -u DISPLAY TAVRINO_AUDIO=test:tone,pace=fast %1 --record 0.3 --output %2/take.%3 "
                                       ">/dev/null 2>>%2/said; echo \\$?;");
    // A private mount namespace hides the plugin from this program alone.
    const QString out = Shell(QStringLiteral("unshare -m sh -c \"mount --bind /dev/null %1 || exit 77; %2 %3\"")
                                  .arg(Quoted(plugin), run.arg(Quoted(program.Path()), folder.Path(), QStringLiteral("wav")),
                                       run.arg(Quoted(program.Path()), folder.Path(), QStringLiteral("flac"))));
    if (out.isEmpty()) GTEST_SKIP() << "needs the right to make a mount namespace";
    EXPECT_EQ(out, QStringLiteral("0\n1"));
    EXPECT_TRUE(test::ReadFile(folder.Path() + QStringLiteral("/said")).contains("无法加载编码库"));
    EXPECT_FALSE(QFileInfo::exists(folder.Path() + QStringLiteral("/take.flac")));
}

}  // namespace
}  // namespace tavrino
