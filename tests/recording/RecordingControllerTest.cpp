// SPDX-License-Identifier: GPL-3.0-or-later
// The recording controller without any window: pauses, files of any length, clipping.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encoder/TestSupport.h"
#include "TestSupport.h"
#include "capture/WaveInRecorder.h"
#include "encoder/EncoderWAV.h"
#include "platform/acm/AcmFormats.h"
#include "platform/audio/Backend.h"
#include "platform/audio/TestBackend.h"
#include "recording/RecordingController.h"

namespace tavrino {
namespace {

constexpr int kBufferFrames = 2560;  // a default capture buffer, stereo

// Runs the event loop (the test support's one QCoreApplication) until cond() holds.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 20000) {
    return test::PumpUntil(cond, std::chrono::milliseconds(timeoutMs));
}

std::vector<int16_t> DataOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    if (b.size() < 46) return {};
    std::vector<int16_t> out(static_cast<size_t>(b.size() - 46) / 2);
    std::memcpy(out.data(), b.constData() + 46, out.size() * 2);
    return out;
}

struct Heard final : RecordingListener {
    void FileFinished(const QString& path) override { files.push_back(path); }
    void Message(const QString& text, Caption) override { messages.push_back(text.toStdString()); }
    void PauseChanged(bool paused) override { pauses.push_back(paused); }
    std::vector<QString> files;
    std::vector<std::string> messages;
    std::vector<bool> pauses;
};

// A controller on test devices in a fresh application folder.
class ControllerTest : public ::testing::Test {
public:
    void Open(const std::string& devices) {
        QDir(dir.path()).mkdir(QStringLiteral("file"));
        QFile counter(dir.path() + QStringLiteral("/nu.ini"));
        ASSERT_TRUE(counter.open(QIODevice::WriteOnly));
        counter.write("1\r\n");
        counter.close();
        audio::SetBackend(audio::TestBackend::FromDevices(devices));
        controller = std::make_unique<RecordingController>(dir.path(), &heard);
        controller->Load();
        ASSERT_TRUE(controller->Recorder().SelectDevice(0));
    }
    void TearDown() override {
        controller.reset();
        audio::SetBackend(nullptr);
    }
    bool Start() {
        return controller->Start({controller->Naming().OutputFileName(controller->FileCounter()), 0,
                                  QStringLiteral("44100"), 2});
    }
    QString File(int n) const { return controller->Naming().OutputFileName(static_cast<int16_t>(n)); }

    QTemporaryDir dir;
    Heard heard;
    std::unique_ptr<RecordingController> controller;
};

TEST_F(ControllerTest, FilesCutOnPurposeOrAtTheSizeLimitJoinIntoTheCapture) {
    // 40 buffers of the ramp (sample k is k): a file each 30000 frames.
    Open("ramp,pace=fast,frames=" + std::to_string(40 * kBufferFrames));
    controller->MaxFileFrames(30000);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return controller->FramesRecorded() == 40 * kBufferFrames; }));
    controller->Stop();
    ASSERT_EQ(heard.files, (std::vector<QString>{File(1), File(2), File(3), File(4)}));
    std::vector<int16_t> joined;
    for (int n = 1; n <= 4; ++n) {
        test::ExpectSizesMatch(File(n).toStdString());
        const auto part = DataOf(File(n));
        EXPECT_EQ(part.size(), n < 4 ? 60000u : 2u * (40 * kBufferFrames - 90000)) << n;
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), 2u * 40 * kBufferFrames);
    for (size_t k = 0; k < joined.size(); ++k) ASSERT_EQ(joined[k], static_cast<int16_t>(k)) << k;
    // The ramp reaches 32767 and -32768 in buffers 6, 19, 31 and 32, in both channels.
    EXPECT_EQ(controller->ClippedBuffers(), 4u);
    EXPECT_NE(controller->LastClipNs(0), 0);
    EXPECT_NE(controller->LastClipNs(1), 0);

    // The size limit: each file as large as it may be, the next one going on seamlessly.
    heard.files.clear();
    controller->MaxFileFrames(0);
    controller->Encoder().MaxFileSize(46 + 100000);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return controller->FramesRecorded() == 40 * kBufferFrames; }));
    controller->Stop();
    ASSERT_EQ(heard.files.size(), 5u);  // 409600 bytes in files of at most 100000
    joined.clear();
    for (const QString& f : heard.files) {
        const auto part = DataOf(f);
        EXPECT_LE(part.size() * 2, 100000u);
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), 2u * 40 * kBufferFrames);
    for (size_t k = 0; k < joined.size(); ++k) ASSERT_EQ(joined[k], static_cast<int16_t>(k)) << k;
    EXPECT_TRUE(heard.messages.empty());
}

TEST_F(ControllerTest, ABlockCodecIsCutOnABlockOfTheInputAndDecodesWithoutAGap) {
    const std::string tone = "tone,freq=441,pace=fast,frames=" + std::to_string(40 * kBufferFrames);
    Open(tone);
    const auto ima = acm::ImaAdpcmFormat(44100, 2);
    controller->Encoder().SetFormat(ima.data(), static_cast<int32_t>(ima.size()), "44.100 kHz, 4 Bit, Stereo", "IMA ADPCM");
    controller->MaxFileFrames(30000);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return controller->FramesRecorded() == 40 * kBufferFrames; }));
    const int64_t blockFrames = controller->Encoder().Encoder_InputBlock() / 4;
    controller->Stop();
    ASSERT_GE(heard.files.size(), 3u);
    std::vector<double> joined;
    for (size_t i = 0; i < heard.files.size(); ++i) {
        const test::Decoded d = test::DecodeFile(heard.files[i].toStdString());
        ASSERT_TRUE(d.ok) << d.error;
        if (i + 1 < heard.files.size()) {
            EXPECT_EQ(d.frames(), 30000 / blockFrames * blockFrames) << i;
        }
        joined.insert(joined.end(), d.samples.begin(), d.samples.end());
    }
    // The same tone written whole: a lost or repeated frame at a seam would shift the phase.
    const std::vector<int16_t> reference = test::Sine(44100, 2, 40 * kBufferFrames, 441, 0.5 * 32767);
    int lag = -1;
    const double snr = test::AlignedSnr(test::Channel(reference, 2, 0), test::Channel(joined, 2, 0), 0, 3, 2000, &lag);
    EXPECT_EQ(lag, 0);
    EXPECT_GT(snr, 20.0);
}

TEST_F(ControllerTest, APauseLeavesOutWhatCameMeanwhileAndNothingElse) {
    Open("ramp");  // in real time
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return controller->FramesRecorded() >= 4 * kBufferFrames; }));
    controller->Pause();
    const int64_t before = controller->FramesRecorded();
    const int32_t elapsed = controller->ElapsedMs();
    // Paused: nothing is added, the header tells the truth about the file as it stands.
    test::ExpectSizesMatch(File(1).toStdString());
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(controller->FramesRecorded(), before);
    EXPECT_EQ(controller->ElapsedMs(), elapsed);
    controller->Resume();
    ASSERT_TRUE(WaitFor([&] { return controller->FramesRecorded() >= before + 4 * kBufferFrames; }));
    controller->Stop();
    EXPECT_EQ(heard.pauses, (std::vector<bool>{true, false}));

    const auto data = DataOf(File(1));
    ASSERT_EQ(data.size(), 2u * static_cast<size_t>(controller->FramesRecorded()));
    // Two stretches of the ramp, each whole, the second starting later than the first ended.
    const auto first = static_cast<size_t>(2 * before);
    for (size_t k = 0; k < first; ++k) ASSERT_EQ(data[k], static_cast<int16_t>(k)) << k;
    EXPECT_GT(static_cast<uint16_t>(data[first] - data[first - 1]), 1u);  // the paused span is left out
    for (size_t k = first + 1; k < data.size(); ++k) ASSERT_EQ(static_cast<uint16_t>(data[k] - data[k - 1]), 1u) << k;
}

// Records `frames` frames at the rate and channels into `out`, cut every `fileFrames`
// (0: one file), with a pause; the output frames FFmpeg decodes from all the files.
int64_t RecordDecoded(ControllerTest& t, int32_t rate, int16_t ch, const WaveFormat& out, int64_t frames,
                      int64_t fileFrames) {
    t.heard.files.clear();
    t.controller->Encoder().SetFormat(out.data(), static_cast<int32_t>(out.size()), "", "");
    t.controller->StopAfterFrames(frames);
    t.controller->MaxFileFrames(fileFrames);
    if (!t.controller->Start({t.File(t.controller->FileCounter()), 0, QString::number(rate), ch})) return -1;
    // Whatever the last recording left (clipping, a pause, files, frames), this one starts from nothing.
    EXPECT_EQ(t.controller->FramesRecorded() + t.controller->ElapsedMs() + t.controller->ClippedBuffers() +
                  t.controller->LastClipNs(0) + t.controller->LastClipNs(1) + t.controller->EncodeFailures(), 0);
    t.controller->Pause();
    t.controller->Resume();
    if (!WaitFor([&] { return !t.controller->IsRecording(); })) return -2;
    int64_t decoded = 0;
    for (const QString& f : t.heard.files) decoded += test::DecodeFile(f.toStdString()).frames();
    return decoded;
}

// Every accepted rate, both channel counts and each kind of output (a resampled one, block
// codecs, MP3), cut into files, one recording after the other: what decodes is the frames
// asked for at the output's rate, with no padding at the seams but what the README says
// (MP3: the encoder's delay and a last frame per file), only the last block padded.
TEST_F(ControllerTest, EveryRateFormatAndSizeLimitKeepsTheFramesAskedAcrossSeams) {
    Open("ramp,pace=fast");
    struct Row { int32_t rate; int16_t ch; WaveFormat out; int64_t perFile, atEnd; };
    const Row rows[] = {
        {1000, 1, acm::PcmFormat(1000, 1, 16), 0, 0},        {1000, 2, WaveFormat::Pcm(44100, 2), 0, 1},
        {4000, 1, WaveFormat::Pcm(44100, 2), 0, 1},         {8000, 1, acm::Gsm610Format(), 0, 319},
        {8000, 2, acm::ImaAdpcmFormat(8000, 2), 0, 504},    {44100, 2, acm::ImaAdpcmFormat(22050, 2), 0, 1016},
        {96000, 1, acm::MsAdpcmFormat(48000, 1), 0, 2035},  {44100, 2, acm::Mp3Format(44100, 2, 128), 1152, 1151},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate) + " Hz, " + std::to_string(r.ch) + " channels to " + acm::Describe(r.out));
        const int64_t asked = r.rate * 53 / 10;  // 5.3 s, cut every 2 s: more than the encoder takes at once
        const int64_t expected = asked * r.out.SamplesPerSec() / r.rate;
        const int64_t decoded = RecordDecoded(*this, r.rate, r.ch, r.out, asked, 2 * r.rate);
        EXPECT_EQ(controller->FramesRecorded(), asked);
        EXPECT_EQ(heard.files.size(), 3u);
        EXPECT_GE(decoded, expected - (r.atEnd > 0 ? 1 : 0));
        EXPECT_LE(decoded, expected + r.perFile * 3 + r.atEnd);
    }
    // The size limit exactly at a block's end, one byte below and one above: each file as
    // full as the limit allows in whole blocks, and nothing lost across the files.
    for (const bool ima : {false, true}) {
        for (const int delta : {-1, 0, 1}) {
            SCOPED_TRACE((ima ? "IMA ADPCM " : "PCM ") + std::to_string(delta));
            const uint32_t header = ima ? 48 : 46, block = ima ? 2048 : 4, blocks = ima ? 20 : 10240, blockFrames = ima ? 2041 : 1;
            const uint32_t limit = header + block * blocks + static_cast<uint32_t>(delta);
            controller->Encoder().MaxFileSize(limit);
            const int64_t decoded = RecordDecoded(*this, 44100, 2, ima ? acm::ImaAdpcmFormat(44100, 2) : WaveFormat::Pcm(44100, 2), 100000, 0);
            ASSERT_GE(heard.files.size(), 2u);
            EXPECT_EQ(QFile(heard.files[0]).size(), header + block * (delta < 0 ? blocks - 1 : blocks));
            for (const QString& f : heard.files) EXPECT_LE(QFile(f).size(), limit);
            EXPECT_EQ(decoded, (100000 + blockFrames - 1) / blockFrames * blockFrames);
        }
    }
    EXPECT_TRUE(heard.messages.empty());
}

}  // namespace
}  // namespace tavrino
