// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder against the private PulseAudio server that `make test` starts. Each test
// loads sinks and sources of its own (named after the process) so that tests running in
// parallel do not hear each other.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "capture/WaveInRecorder.h"
#include "platform/audio/Backend.h"
#include "platform/audio/Mixer.h"
#include "platform/audio/TestBackend.h"

namespace tavrino {
namespace {

using namespace audio;
using test::PumpUntil;
using test::Shell;

// A private server of the test's own (not the one the other tests share), so that stopping
// or freezing it disturbs nobody else; resumed, stopped and removed whatever happens.
struct OwnServer {
    explicit OwnServer(const std::string& tag) : dir(::testing::TempDir() + "/tvc_server_" + tag) {
        int status = 0;
        const std::string env = Shell(script + " start " + dir, &status);
        const size_t at = env.find("PULSE_SERVER=");
        if (status != 0 || at == std::string::npos) return;
        server = env.substr(at + 13, env.find('\n', at) - at - 13);
        std::ifstream(dir + "/pid") >> pid;
    }
    ~OwnServer() {
        if (pid > 0) kill(pid, SIGCONT);
        Shell(script + " stop " + dir);
        Shell("rm -rf " + dir);
    }
    void Freeze(bool frozen) {
        if (pid > 0) kill(pid, frozen ? SIGSTOP : SIGCONT);
    }
    const std::string script = std::string(TAVRINO_SOURCE_DIR) + "/scripts/pulse-test-server";
    std::string dir;
    std::string server;
    pid_t pid = 0;
};

// Seconds a call takes.
template <class F>
double Seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct PulseFixture : ::testing::Test {
    void SetUp() override {
        if (std::getenv("PULSE_SERVER") == nullptr || std::system("command -v pactl >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no private PulseAudio server (run through make test)";
        tag = std::to_string(getpid());
        SetBackend(MakePulseBackend());
    }
    void TearDown() override {
        rec.reset();
        SetBackend(nullptr);
        for (const std::string& m : modules) Shell("pactl unload-module " + m + " 2>/dev/null");
    }
    std::string Load(const std::string& args) {
        int status = 0;
        std::string id = Shell("pactl load-module " + args, &status);
        EXPECT_EQ(status, 0) << args;
        modules.push_back(id);
        return id;
    }
    int32_t DeviceNamed(const std::string& name) {
        for (int32_t i = 0; i < rec->DeviceCount(); ++i)
            if (rec->DeviceName(i) == name) return i;
        return -1;
    }
    void Collect() {
        rec->GotData = [this](std::span<int16_t> b, int32_t& lngLen) {
            if (lngLen != rec->BufferSize()) ++partial;  // only the last one, at a loss or the stop
            EXPECT_EQ(lost, 0) << "data after the loss";
            audio.insert(audio.end(), b.begin(), b.begin() + lngLen / 2);
            ++buffers;
        };
        rec->DeviceLost = [this] { ++lost; };
    }

    std::string tag;
    std::vector<std::string> modules;
    std::unique_ptr<WaveInRecorder> rec = std::make_unique<WaveInRecorder>();
    std::vector<int16_t> audio;
    int buffers = 0;
    int lost = 0;
    int partial = 0;
};

TEST_F(PulseFixture, ListsSourcesWithMonitorsAndServesOneLineWithAVolume) {
    Load("module-null-sink sink_name=tvc_list_" + tag + " sink_properties=device.description=TVC_List_" + tag);
    const int32_t dev = DeviceNamed("Monitor of TVC_List_" + tag);
    ASSERT_GE(dev, 0);
    EXPECT_GE(DeviceNamed("Tavrino_Test_Pipe"), 0);
    EXPECT_EQ(rec->DeviceName(rec->DeviceCount()), "");
    ASSERT_TRUE(rec->SelectDevice(dev));
    ASSERT_EQ(rec->MixerLineCount(), 1);  // no ports here: one line named after the source
    EXPECT_EQ(rec->MixerLineName(0), "Monitor of TVC_List_" + tag);
    EXPECT_EQ(rec->SelectedMixerLine(), 0);
    EXPECT_TRUE(rec->SelectMixerLine(0));
    EXPECT_FALSE(rec->SelectMixerLine(1));
    EXPECT_EQ(rec->MixerLineType(-1), static_cast<int32_t>(MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT));

    rec->MixerLineVolume(30000);
    EXPECT_EQ(rec->MixerLineVolume(), 30000);
    const std::string seen = Shell("pactl get-source-volume tvc_list_" + tag + ".monitor");
    EXPECT_NE(seen.find("30000"), std::string::npos) << seen;
    rec->MixerLineVolume(65535);
    EXPECT_EQ(rec->MixerLineVolume(), 65535);
}

TEST_F(PulseFixture, RecordsTheToneThatIsPlayedIntoASink) {
    const std::string sink = "tvc_tone_" + tag;
    Load("module-null-sink sink_name=" + sink + " sink_properties=device.description=TVC_Tone_" + tag);
    const int32_t dev = DeviceNamed("Monitor of TVC_Tone_" + tag);
    ASSERT_GE(dev, 0);
    ASSERT_TRUE(rec->SelectDevice(dev));
    Collect();
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    std::thread player([&] {
        Shell("sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth 2 sine 1000 vol 0.5 | "
              "pacat --raw --device=" + sink + " --rate=44100 --channels=2 --format=s16le");
    });
    // Wait for the tone to arrive, then for one more second of it.
    auto firstLoud = [&]() -> size_t {
        for (size_t i = 0; i < audio.size(); ++i)
            if (std::abs(audio[i]) > 8000) return i;
        return audio.size();
    };
    const bool heard = PumpUntil([&] { return audio.size() > firstLoud() + 2 * 44100; }, std::chrono::seconds(10));
    rec->StopRecord();
    player.join();
    ASSERT_TRUE(heard);
    EXPECT_EQ(lost, 0);
    EXPECT_LE(partial, 1);  // the last one, at the stop

    // Half a second of the left channel, a little after the start.
    const size_t start = (firstLoud() / 2 + 4410) * 2;
    const size_t frames = 22050;
    ASSERT_LE(start + frames * 2, audio.size());
    double sumSq = 0;
    int crossings = 0;
    for (size_t f = 0; f < frames; ++f) {
        const double x = audio[start + 2 * f];
        sumSq += x * x;
        if (f > 0 && (audio[start + 2 * f - 2] < 0) != (x < 0)) ++crossings;
        ASSERT_NEAR(audio[start + 2 * f], audio[start + 2 * f + 1], 2) << "left and right differ at frame " << f;
    }
    const double freq = crossings / 2.0 / (frames / 44100.0);
    const double rms = std::sqrt(sumSq / frames);
    EXPECT_NEAR(freq, 1000.0, 10.0);
    EXPECT_NEAR(rms, 0.5 * 32767 / std::sqrt(2.0), 0.05 * 11585);
}

// The server never hands over more than the piece asked for, and larger pieces once an
// open stream asks for them (the window while it cannot be seen).
TEST_F(PulseFixture, AnOpenStreamTakesLargerPiecesWhenAsked) {
    const std::string sink = "tvc_piece_" + tag;
    Load("module-null-sink sink_name=" + sink + " sink_properties=device.description=TVC_Piece_" + tag);
    const int32_t dev = DeviceNamed("Monitor of TVC_Piece_" + tag);
    ASSERT_GE(dev, 0);
    struct Largest final : StreamSink {
        std::atomic<size_t> bytes{0};
        std::atomic<int> pieces{0};
        size_t Write(const uint8_t*, size_t n) override {
            if (n > bytes) bytes = n;
            ++pieces;
            return n;
        }
        void Lost() override {}
    } largest;
    constexpr size_t kFiftyMs = 44100 / 20 * 4;
    CaptureFragmentMs(50);
    std::unique_ptr<CaptureStream> stream;
    ASSERT_EQ(CurrentBackend()->Open(dev, 44100, 2, largest, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Start(), MMSYSERR_NOERROR);
    EXPECT_TRUE(PumpUntil([&] { return largest.pieces >= 10; }, std::chrono::seconds(5)));
    EXPECT_LE(largest.bytes, kFiftyMs);
    stream->Fragment(200);
    EXPECT_TRUE(PumpUntil([&] { return largest.bytes > kFiftyMs; }, std::chrono::seconds(5)));
    EXPECT_LE(largest.bytes, 4 * kFiftyMs);
    stream.reset();
    CaptureFragmentMs(kDisplayFragmentMs);
}

// The window's way with the volume (read on a line click, written back unchanged) leaves
// the source as the user set it; at 100 % the recording is the fed samples byte for byte,
// the last partly filled buffer included.
TEST_F(PulseFixture, VolumeIsLeftAsTheUserSetItAndAPipeSourceComesBackExactly) {
    const std::string dir = ::testing::TempDir() + "/tvc_pipe_" + tag;
    Shell("mkdir -p " + dir);
    const std::string fifo = dir + "/pipe";
    const std::string source = "tvc_pipe_" + tag;
    Load("module-pipe-source source_name=" + source + " file=" + fifo +
         " format=s16le rate=44100 channels=2 source_properties=device.description=TVC_Pipe_" + tag);
    const int32_t dev = DeviceNamed("TVC_Pipe_" + tag);
    ASSERT_GE(dev, 0);
    Collect();
    for (const char* volume : {"150%", "70% 40%", "100%"}) {
        Shell("pactl set-source-volume " + source + " " + volume);
        const std::string before = Shell("pactl get-source-volume " + source);
        ASSERT_TRUE(rec->SelectDevice(dev));
        ASSERT_TRUE(rec->SelectMixerLine(0));
        rec->MixerLineVolume(rec->MixerLineVolume());
        ASSERT_TRUE(rec->StartRecord(44100, 2));
        test::PumpFor(std::chrono::milliseconds(100));
        rec->StopRecord();
        test::PumpFor(std::chrono::milliseconds(100));
        EXPECT_EQ(Shell("pactl get-source-volume " + source), before) << volume;
    }
    EXPECT_EQ(rec->MixerLineVolume(), 65535);
    // The mixer keeps the source's volume and follows changes made elsewhere.
    Shell("pactl set-source-volume " + source + " 32768");
    EXPECT_TRUE(PumpUntil([&] { return rec->MixerLineVolume() == 32768; }));
    rec->MixerLineVolume(30000);  // the slider moved away and back to its end: 100 %
    rec->MixerLineVolume(65535);
    EXPECT_NE(Shell("pactl get-source-volume " + source).find("65536"), std::string::npos);
    EXPECT_TRUE(audio.empty());  // nothing was fed yet

    // 2.5 s of a pattern that no silence or ramp imitates, not a whole number of buffers.
    std::vector<int16_t> sent(2 * 110251);
    for (size_t k = 0; k < sent.size(); ++k) sent[k] = static_cast<int16_t>((k * 7919 + 13) % 60001 - 30000);
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        const auto* p = reinterpret_cast<const char*>(sent.data());
        size_t left = sent.size() * 2;
        while (left > 0) {
            const ssize_t n = write(fd, p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        close(fd);
    });
    // The window is busy meanwhile: all of it waits in the stream, far more than the ring
    // holds, and the stop hands it over.
    writer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    rec->StopRecord();
    EXPECT_EQ(partial, 1);
    ASSERT_EQ(audio.size(), sent.size());
    EXPECT_TRUE(audio == sent);
    Shell("rm -rf " + dir);
}

TEST_F(PulseFixture, SourceRemovedDuringARecordingIsReported) {
    const std::string module =
        Load("module-null-sink sink_name=tvc_gone_" + tag + " sink_properties=device.description=TVC_Gone_" + tag);
    const int32_t dev = DeviceNamed("Monitor of TVC_Gone_" + tag);
    ASSERT_GE(dev, 0);
    ASSERT_TRUE(rec->SelectDevice(dev));
    Collect();
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(PumpUntil([&] { return buffers >= 2; }));
    Shell("pactl unload-module " + module);
    modules.clear();
    ASSERT_TRUE(PumpUntil([&] { return lost > 0; }));
    EXPECT_TRUE(rec->IsRecording());
    EXPECT_TRUE(rec->StopRecord());
    EXPECT_EQ(lost, 1);
    EXPECT_LE(partial, 1);
    // The source is gone once the server's removal event has arrived.
    EXPECT_TRUE(PumpUntil([&] { return rec->MixerLineCount() == 0; }));
}

TEST_F(PulseFixture, ServerGoingAwayIsReportedAndNothingHangs) {
    OwnServer own(tag);
    ASSERT_FALSE(own.server.empty());
    SetBackend(MakePulseBackend(own.server));
    EXPECT_GE(rec->DeviceCount(), 2);
    Collect();
    ASSERT_TRUE(rec->StartRecord(44100, 2));  // the default source: that server's sink monitor
    ASSERT_TRUE(PumpUntil([&] { return buffers >= 1; }));
    ASSERT_TRUE(rec->SelectDevice(rec->DefaultDevice()));
    Shell(own.script + " stop " + own.dir);
    ASSERT_TRUE(PumpUntil([&] { return lost > 0; }));
    EXPECT_LE(partial, 1);
    EXPECT_EQ(rec->MixerLineCount(), 0);  // its mixer went with it
    EXPECT_TRUE(rec->StopRecord());
    EXPECT_EQ(rec->DeviceCount(), 0);
    EXPECT_FALSE(rec->StartRecord(44100, 2));
    EXPECT_NE(ConnectionError(), "");
}

// A server that stops answering (kill -STOP) while a recording runs: nothing the window
// calls waits long, the recording is reported lost, and a stop closes at once.
TEST_F(PulseFixture, AServerThatHangsFreezesNothingAndIsReportedLost) {
    OwnServer own(tag);
    ASSERT_FALSE(own.server.empty());
    ASSERT_GT(own.pid, 0);
    SetBackend(MakePulseBackend(own.server));
    EXPECT_EQ(ConnectionError(), "");
    const int32_t devices = rec->DeviceCount();
    ASSERT_GE(devices, 2);
    const int32_t monitor = rec->DefaultDevice();
    ASSERT_TRUE(rec->SelectDevice(monitor));
    Collect();
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(PumpUntil([&] { return buffers >= 1; }));

    own.Freeze(true);
    EXPECT_TRUE(PumpUntil([&] { return lost > 0; }, std::chrono::seconds(10))) << "no loss reported";
    // One wait of kServerWaitLimitMs at most (the pause is asked once), not one per step.
    const double limit = 2 * kServerWaitLimitMs / 1000.0;
    EXPECT_LT(Seconds([&] { rec->StopRecord(); }), limit);
    int32_t listed = -1;
    EXPECT_LT(Seconds([&] { listed = rec->DeviceCount(); }), 5.0);
    EXPECT_EQ(listed, devices);  // as listed before
    bool started = true;
    EXPECT_LT(Seconds([&] { started = rec->StartRecord(44100, 2); }), 5.0);
    EXPECT_FALSE(started);
    int32_t lines = -1;
    EXPECT_LT(Seconds([&] {
        lines = rec->MixerLineCount();
        rec->MixerLineVolume(rec->MixerLineVolume() / 2);
        rec->SelectMixerLine(0);
        rec->SelectDevice(monitor);
    }), 5.0);
    EXPECT_EQ(lines, 1);

    // Answering again: a recording starts; frozen once more, the stop does not wait for it.
    own.Freeze(false);
    lost = 0;  // a new recording: what it captured before the freeze may still come
    ASSERT_TRUE(PumpUntil([&] { return rec->StartRecord(44100, 2); }, std::chrono::seconds(10)));
    own.Freeze(true);
    EXPECT_LT(Seconds([&] { rec->StopRecord(); }), limit);
}

TEST(PulseServer, AServerThatCannotBeReachedIsSaidAsSuch) {
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/tavrino/native", 1);
    SetBackend(MakePulseBackend());
    {
        WaveInRecorder rec;
        EXPECT_EQ(rec.DeviceCount(), 0);
        EXPECT_EQ(ConnectionError(), "Connection refused");
    }
    SetBackend(TestBackend::FromDevices("tone"));
    EXPECT_EQ(ConnectionError(), "");  // the test source needs no server
    SetBackend(nullptr);
    if (old) setenv("PULSE_SERVER", saved.c_str(), 1); else unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace tavrino
