// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder as a whole: the program's timed recording from the command line, and a
// recording from the private PulseAudio server of a tone played into its null sink.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>
#include <cstdlib>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "capture/WaveInRecorder.h"
#include "platform/audio/Backend.h"

namespace tavrino {
namespace {

using test::AppFolder;
using test::PcmSamples;
using test::ProgramCopy;
using test::ReadFile;
using test::WaitFor;

TEST(CommandLine, TimedRecordingHoldsExactlyTheAskedLengthAndAdvancesTheCounter) {
    AppFolder folder("3\r\n");
    ProgramCopy program(folder);
    QProcess p;
    // A source far faster than real time: the length is counted in frames, not wall time.
    program.Start(p, QStringLiteral("test:ramp,name=Ramp,pace=fast;tone"),
                  {QStringLiteral("--record"), QStringLiteral("2"), QStringLiteral("--device"), QStringLiteral("Ramp")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()), folder.Recording(3) + QLatin1Char('\n'));

    std::string problem;
    const auto samples = PcmSamples(ReadFile(folder.Recording(3)), &problem);
    ASSERT_TRUE(problem.empty()) << problem;
    ASSERT_EQ(samples.size(), 2u * 88200u);  // 2 s of 44.1 kHz stereo, to the frame
    for (size_t k = 0; k < samples.size(); ++k) ASSERT_EQ(samples[k], static_cast<int16_t>(k)) << k;
    EXPECT_EQ(folder.Counter(), QByteArray("4\r\n"));
    EXPECT_TRUE(QFileInfo::exists(folder.Recording(4)));

    // Split every 2 s: three consecutive files whose data joins into the capture.
    program.Start(p, QStringLiteral("test:ramp,pace=fast"),
                  {QStringLiteral("--record"), QStringLiteral("5"), QStringLiteral("--max-file-time"), QStringLiteral("2")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()),
              folder.Recording(4) + QLatin1Char('\n') + folder.Recording(5) + QLatin1Char('\n') + folder.Recording(6) +
                  QLatin1Char('\n'));
    std::vector<int16_t> joined;
    for (int n : {4, 5, 6}) {
        const auto part = PcmSamples(ReadFile(folder.Recording(n)), &problem);
        EXPECT_TRUE(problem.empty()) << problem;
        EXPECT_EQ(part.size(), n < 6 ? 2u * 88200u : 88200u) << n;
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), 5u * 88200u);
    for (size_t k = 0; k < joined.size(); ++k) ASSERT_EQ(joined[k], static_cast<int16_t>(k)) << k;
    EXPECT_EQ(folder.Counter(), QByteArray("7\r\n"));

    // A device that matches nothing: the message, a failure code, no recording.
    program.Start(p, QStringLiteral("test:ramp,name=Ramp,pace=fast"),
                  {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--device"), QStringLiteral("no such device")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_NE(p.exitCode(), 0);
    EXPECT_TRUE(QString::fromLocal8Bit(p.readAllStandardError()).contains(QStringLiteral("没有选择硬件设备!")));
    EXPECT_EQ(folder.Counter(), QByteArray("7\r\n"));
}

TEST(CommandLine, ASourceThatFallsSilentEndsTheRecordingAndKeepsTheFile) {
    AppFolder folder("1\r\n");
    ProgramCopy program(folder);
    QProcess p;
    program.Start(p, QStringLiteral("test:ramp,pace=fast,frames=30720"), {QStringLiteral("--record"), QStringLiteral("5")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(QString::fromLocal8Bit(p.readAllStandardError()).contains(QStringLiteral("没有收到声音数据")));
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()), folder.Recording(1) + QLatin1Char('\n'));
    EXPECT_EQ(PcmSamples(ReadFile(folder.Recording(1)), nullptr).size(), 2u * 30720u);
    EXPECT_EQ(folder.Counter(), QByteArray("2\r\n"));
}

// Where the left channel is loud: how long, its frequency (from upward zero crossings) and
// its peak.
struct ToneFound {
    double seconds = 0;
    double frequency = 0;
    int peak = 0;
};

ToneFound FindTone(const std::vector<int16_t>& stereo, int rate) {
    const size_t frames = stereo.size() / 2;
    auto left = [&](size_t f) { return static_cast<int>(stereo[2 * f]); };
    size_t first = frames;
    size_t last = 0;
    ToneFound t;
    for (size_t f = 0; f < frames; ++f) {
        if (std::abs(left(f)) > 4000) {
            first = std::min(first, f);
            last = f;
            t.peak = std::max(t.peak, std::abs(left(f)));
        }
    }
    if (first >= last) return t;
    int crossings = 0;
    for (size_t f = first + 1; f <= last; ++f) crossings += (left(f - 1) < 0 && left(f) >= 0);
    t.seconds = static_cast<double>(last - first) / rate;
    t.frequency = crossings / t.seconds;
    return t;
}

// Waits until the file holds more than `bytes` bytes.
bool Grows(const QString& path, qint64 bytes) {
    return WaitFor([&] { return QFileInfo(path).size() > bytes; }, 20000);
}

// The data chunk of an encoder's PCM file: both sizes agree with the file's length.
bool HeaderMatchesFile(const QByteArray& file) {
    return file.size() >= 46 && test::U32(file, 4) == static_cast<uint32_t>(file.size() - 8) &&
           test::U32(file, 42) == static_cast<uint32_t>(file.size() - 46);
}

TEST(CommandLine, KillNineLosesNothingAndAResetCounterOverwritesNothing) {
    AppFolder folder("2\r\n");
    ProgramCopy program(folder);
    QProcess p;
    // 30000 frames come at once, then nothing: eleven whole buffers reach the file, its
    // sizes last rewritten after nine of them; it is killed while it waits for more.
    program.Start(p, QStringLiteral("test:ramp,pace=fast,frames=30000"), {QStringLiteral("--record"), QStringLiteral("20")});
    ASSERT_TRUE(Grows(folder.Recording(2), 46 + 10 * 10240));
    WaitFor([] { return false; }, 200);
    p.kill();
    ASSERT_TRUE(p.waitForFinished(10000));
    const QByteArray survivor = ReadFile(folder.Recording(2));
    ASSERT_EQ(survivor.size(), 46 + 11 * 10240);
    ASSERT_FALSE(HeaderMatchesFile(survivor));
    {
        QFile counter(folder.Path() + QStringLiteral("/nu.ini"));  // a reinstall writes it anew
        ASSERT_TRUE(counter.open(QIODevice::WriteOnly | QIODevice::Truncate));
        counter.write("2\r\n");
    }
    program.Start(p, QStringLiteral("test:ramp,pace=fast"), {QStringLiteral("--record"), QStringLiteral("1")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()), folder.Recording(3) + QLatin1Char('\n'));
    EXPECT_EQ(PcmSamples(ReadFile(folder.Recording(3)), nullptr).size(), 88200u);

    // The survivor: its audio untouched, its sizes now covering all of it.
    const QByteArray completed = ReadFile(folder.Recording(2));
    ASSERT_EQ(completed.size(), survivor.size());
    EXPECT_EQ(completed.mid(46), survivor.mid(46));
    EXPECT_TRUE(HeaderMatchesFile(completed)) << "data size " << test::U32(completed, 42) << " of " << completed.size();
    EXPECT_EQ(folder.Counter(), QByteArray("4\r\n"));
}

TEST(CommandLine, TwoRecordersInOneFolderEachWriteTheirOwnFile) {
    AppFolder folder("1\r\n");
    ProgramCopy program(folder);
    QProcess low;
    QProcess high;
    program.Start(low, QStringLiteral("test:tone,freq=440"), {QStringLiteral("--record"), QStringLiteral("2")});
    WaitFor([] { return false; }, 300);
    program.Start(high, QStringLiteral("test:tone,freq=1000"), {QStringLiteral("--record"), QStringLiteral("2")});
    ASSERT_TRUE(low.waitForFinished(60000) && high.waitForFinished(60000));
    EXPECT_EQ(low.exitCode() + high.exitCode(), 0);
    const QString lowFile = QString::fromLocal8Bit(low.readAllStandardOutput()).trimmed();
    const QString highFile = QString::fromLocal8Bit(high.readAllStandardOutput()).trimmed();
    ASSERT_NE(lowFile, highFile);
    EXPECT_NEAR(FindTone(PcmSamples(ReadFile(lowFile), nullptr), 44100).frequency, 440, 10);
    EXPECT_NEAR(FindTone(PcmSamples(ReadFile(highFile), nullptr), 44100).frequency, 1000, 10);
}

TEST(CommandLine, TermFinishesTheFileOfATimedRecordingAndOfTheWindow) {
    AppFolder folder("5\r\n");
    ProgramCopy program(folder);
    QProcess p;
    program.Start(p, QStringLiteral("test:tone"), {QStringLiteral("--record"), QStringLiteral("20")});
    ASSERT_TRUE(Grows(folder.Recording(5), 46 + 40000));
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 128 + 15);
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()), folder.Recording(5) + QLatin1Char('\n'));
    EXPECT_TRUE(HeaderMatchesFile(ReadFile(folder.Recording(5))));
    EXPECT_EQ(folder.Counter(), QByteArray("6\r\n"));

    // The window, recording at once, offscreen.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TAVRINO_AUDIO"), QStringLiteral("test:tone"));
    p.setProcessEnvironment(env);
    p.start(folder.Path() + QStringLiteral("/tavrino"), {QStringLiteral("--start")});
    ASSERT_TRUE(Grows(folder.Recording(6), 46 + 40000));
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 128 + 15);
    EXPECT_TRUE(HeaderMatchesFile(ReadFile(folder.Recording(6))));
    EXPECT_EQ(folder.Counter(), QByteArray("7\r\n"));
}

TEST(EndToEnd, RecordsAToneFromTheSoundServer) {
    const char* dir = std::getenv("TAVRINO_TEST_PULSE_DIR");
    if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "needs the private PulseAudio server that make test starts";
    AppFolder folder("1\r\n");
    audio::SetBackend(audio::MakePulseBackend());
    Form1 form(folder.Path());
    std::vector<test::Shown> shown;
    form.SetMessageBoxes(std::make_shared<test::RecordingBoxes>(shown, &form));
    form.Form_Load();

    const int index = form.cboDev->findText(QStringLiteral("Tavrino_Test_Sink"), Qt::MatchContains);
    ASSERT_GE(index, 0) << "no monitor of the test sink among " << form.cboDev->count() << " devices";
    form.cboDev->setCurrentIndex(index);
    form.cboDev_Click();
    const QString path = form.txtFile->text();
    form.cmdDo_Click();
    ASSERT_TRUE(form.Recorder().IsRecording());
    // A new null sink's monitor may be silent for a moment; play once audio flows.
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(path).size() > 46 + 20480; }, 15000));

    QProcess tone;
    tone.start(QStringLiteral(TAVRINO_SOURCE_DIR "/scripts/pulse-test-server"),
               {QStringLiteral("tone"), QString::fromLocal8Bit(dir), QStringLiteral("1000"), QStringLiteral("3"),
                QStringLiteral("0.5")});
    ASSERT_TRUE(tone.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return tone.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(tone.exitCode(), 0) << tone.readAllStandardError().toStdString();
    WaitFor([] { return false; }, 500);  // the tail of the tone
    form.cmdDo_Click();
    form.Form_Unload();
    audio::SetBackend(nullptr);

    std::string problem;
    const auto samples = PcmSamples(ReadFile(path), &problem);
    ASSERT_TRUE(problem.empty()) << problem;
    const ToneFound t = FindTone(samples, 44100);
    EXPECT_NEAR(t.seconds, 3.0, 0.3);
    EXPECT_NEAR(t.frequency, 1000.0, 10.0);
    EXPECT_NEAR(t.peak, 16384, 16384 * 0.05);  // half of full scale, as played
    EXPECT_TRUE(shown.empty());
}

// pactl on the private server: its standard output, trimmed.
QString Pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    p.waitForFinished(20000);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

// The window opened on a device and `--record` from it leave the source's volume as the user
// set it: above 100 % and unbalanced included.
TEST(EndToEnd, TheWindowAndTimedRecordingLeaveTheSourceVolumeAlone) {
    const char* dir = std::getenv("TAVRINO_TEST_PULSE_DIR");
    if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "needs the private PulseAudio server that make test starts";
    const QString tag = QString::number(QCoreApplication::applicationPid());
    const QString name = QStringLiteral("TVA_Vol_") + tag;
    const QString source = QStringLiteral("tva_vol_") + tag + QStringLiteral(".monitor");
    struct Module {
        QString id;
        ~Module() { Pactl({QStringLiteral("unload-module"), id}); }
    } module{Pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                    QStringLiteral("sink_name=tva_vol_") + tag, QStringLiteral("sink_properties=device.description=") + name})};
    AppFolder folder("1\r\n");
    const QString program = folder.Path() + QStringLiteral("/tavrino");
    ASSERT_TRUE(QFile::copy(QStringLiteral(TAVRINO_PROGRAM), program));
    QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner);
    audio::SetBackend(audio::MakePulseBackend());

    for (const char* volume : {"150%", "70% 40%"}) {
        QStringList set = {QStringLiteral("set-source-volume"), source};
        set += QString::fromLatin1(volume).split(QLatin1Char(' '));
        Pactl(set);
        const QString before = Pactl({QStringLiteral("get-source-volume"), source});
        {
            Form1 form(folder.Path());
            std::vector<test::Shown> shown;
            form.SetMessageBoxes(std::make_shared<test::RecordingBoxes>(shown, &form));
            form.Form_Load();
            form.cboDev->setCurrentIndex(form.cboDev->findText(name, Qt::MatchContains));
            ASSERT_GE(form.cboDev->currentIndex(), 0);
            form.cboDev_Click();  // picks the line and shows its volume
            form.cmdDo_Click();
            ASSERT_TRUE(form.Recorder().IsRecording());
            WaitFor([] { return false; }, 300);
            form.cmdDo_Click();
            form.Form_Unload();
            EXPECT_TRUE(shown.empty());
        }
        EXPECT_EQ(Pactl({QStringLiteral("get-source-volume"), source}), before) << volume << " (window)";

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("TAVRINO_AUDIO"));
        p.setProcessEnvironment(env);
        p.start(program, {QStringLiteral("--record"), QStringLiteral("1"), QStringLiteral("--device"), name});
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        EXPECT_EQ(Pactl({QStringLiteral("get-source-volume"), source}), before) << volume << " (--record)";
    }
    audio::SetBackend(nullptr);
}

// Decodes a WAV file with sox into interleaved 16-bit samples.
std::vector<int16_t> Decoded(const QString& path) {
    QProcess sox;
    sox.start(QStringLiteral("sox"), {path, QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-e"),
                                      QStringLiteral("signed"), QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-")});
    if (!sox.waitForFinished(30000)) return {};
    const QByteArray raw = sox.readAllStandardOutput();
    std::vector<int16_t> out(static_cast<size_t>(raw.size()) / 2);
    std::memcpy(out.data(), raw.constData(), out.size() * 2);
    return out;
}

// Writes the samples into the pipe source's FIFO until all are written or `ended`: a
// recorder that ended early (the server stops reading then) fails the test, not hangs it.
void Feed(const QString& fifo, const std::vector<int16_t>& samples, const std::atomic<bool>& ended) {
    const int fd = open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const auto* p = reinterpret_cast<const char*>(samples.data());
    size_t left = samples.size() * 2;
    while (left > 0 && !ended) {
        pollfd ready{fd, POLLOUT, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) p += n, left -= static_cast<size_t>(n);
    }
    close(fd);
}

// A pipe source of the test's own on the private server fed exactly 5 s, recorded by
// `--record 5 --max-file-time 2`: three files of 2, 2 and 1 s that join into what was fed,
// in PCM byte for byte, and in IMA ADPCM cut on its blocks so that decoding shows no seam.
TEST(EndToEnd, APipeSourceComesBackExactlyAcrossFilesCutEveryTwoSeconds) {
    const char* dir = std::getenv("TAVRINO_TEST_PULSE_DIR");
    if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "needs the private PulseAudio server that make test starts";
    const QString tag = QString::number(QCoreApplication::applicationPid());
    const QString fifo = QString::fromLocal8Bit(dir) + QStringLiteral("/tve_pipe_") + tag;
    const QString name = QStringLiteral("TVE_Pipe_") + tag;
    struct Module {
        QString id;
        ~Module() { Pactl({QStringLiteral("unload-module"), id}); }
    } module{Pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"), QStringLiteral("source_name=tve_pipe_") + tag,
                    QStringLiteral("file=") + fifo, QStringLiteral("format=s16le"), QStringLiteral("rate=44100"),
                    QStringLiteral("channels=2"), QStringLiteral("source_properties=device.description=") + name})};
    ASSERT_FALSE(module.id.isEmpty());

    const int frames = 5 * 44100;
    for (const bool ima : {false, true}) {
        SCOPED_TRACE(ima ? "IMA ADPCM" : "PCM");
        // PCM: a pattern nothing else imitates; IMA ADPCM: a 441 Hz tone it can follow.
        std::vector<int16_t> fed(2 * static_cast<size_t>(frames));
        for (size_t k = 0; k < fed.size(); ++k) {
            fed[k] = ima ? static_cast<int16_t>(std::lround(12000 * std::sin(2 * 3.14159265358979 * 441 * (k / 2) / 44100.0)))
                         : static_cast<int16_t>((k * 7919 + 13) % 60001 - 30000);
        }
        AppFolder folder("1\r\n");
        ProgramCopy program(folder);
        QProcess p;
        QStringList args = {QStringLiteral("--record"), QStringLiteral("5"), QStringLiteral("--max-file-time"),
                            QStringLiteral("2"), QStringLiteral("--device"), name};
        if (ima) args << QStringLiteral("--format") << QStringLiteral("ima adpcm");
        program.Start(p, QStringLiteral("pulse"), args);
        QString err;
        ASSERT_TRUE(WaitFor([&] {
            err += QString::fromLocal8Bit(p.readAllStandardError());
            return err.contains(QStringLiteral("\" 录音 ")) || p.state() == QProcess::NotRunning;
        }, 20000));
        std::atomic<bool> ended{false};
        std::thread writer([&] { Feed(fifo, fed, ended); });
        const bool finished = p.waitForFinished(30000);
        ended = true;
        writer.join();
        ASSERT_TRUE(finished) << (err + QString::fromLocal8Bit(p.readAllStandardError())).toStdString();
        EXPECT_EQ(p.exitCode(), 0) << (err + QString::fromLocal8Bit(p.readAllStandardError())).toStdString();
        EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()),
                  folder.Recording(1) + QLatin1Char('\n') + folder.Recording(2) + QLatin1Char('\n') + folder.Recording(3) +
                      QLatin1Char('\n'));
        std::vector<int16_t> joined;
        std::vector<size_t> lengths;
        for (int n = 1; n <= 3; ++n) {
            const std::vector<int16_t> part = ima ? Decoded(folder.Recording(n)) : PcmSamples(ReadFile(folder.Recording(n)), nullptr);
            lengths.push_back(part.size() / 2);
            joined.insert(joined.end(), part.begin(), part.end());
        }
        if (!ima) {
            EXPECT_EQ(lengths, (std::vector<size_t>{88200, 88200, 44100}));
            EXPECT_TRUE(joined == fed);
            continue;
        }
        // Whole blocks of 2041 frames in the first two files: 43 of them in 2 s.
        EXPECT_EQ(lengths[0], 43u * 2041u);
        EXPECT_EQ(lengths[1], 43u * 2041u);
        ASSERT_GE(joined.size(), fed.size());
        double error = 0;
        double signal = 0;
        for (size_t k = 0; k < fed.size(); ++k) {
            error += (joined[k] - fed[k]) * static_cast<double>(joined[k] - fed[k]);
            signal += fed[k] * static_cast<double>(fed[k]);
        }
        EXPECT_GT(10 * std::log10(signal / error), 20.0);  // a frame lost or added at a seam: far below
    }
}

}  // namespace
}  // namespace tavrino
