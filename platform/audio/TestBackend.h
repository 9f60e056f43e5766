// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The test source: deterministic capture devices with input lines and a volume, for tests
// and demos that run without a sound server.
//
// Chosen by TAVRINO_AUDIO=test or TAVRINO_AUDIO=test:DEVICES, or from code with
//   audio::SetBackend(audio::TestBackend::FromDevices("tone,freq=1000"));
//
// DEVICES grammar (no spaces around the separators):
//   DEVICES    := DEVICE { ';' DEVICE }                     one device each; "" = "tone"
//   DEVICE  := SOURCE { ',' OPTION }
//   SOURCE  := 'tone'             a sine, the same in every channel
//            | 'ramp'             sample k of the interleaved stream (counted from the
//                                 start, all channels) is (int16_t)k: byte-exact checks
//            | 'silence'
//            | 'wav=' PATH        a 16-bit PCM WAV file played as input (PATH without ',' or
//                                 ';'); opening at another rate than the file's fails with
//                                 WAVERR_BADFORMAT; mono and stereo are converted
//   OPTION  := 'freq=' HZ         tone frequency (default 440)
//            | 'amp=' A           tone amplitude, 0 .. 1 of full scale (default 0.5)
//            | 'name=' TEXT       device name (default: "Test tone 440 Hz", "Test ramp",
//                                 "Test silence", "Test WAV " + file name)
//            | 'lines=' N{'|'N}   input line names (default: one line named after the device)
//            | 'line=' I          the line selected at first (default 0)
//            | 'volume=' V        every line's volume, 0 .. 65535 (default 65535)
//            | 'pace=' P          'realtime' (default): audio comes at the sample rate;
//                                 'fast': each queued buffer is filled as soon as it is
//                                 queued (and the device started)
//            | 'frames=' N        frames delivered before END (default endless; a WAV file:
//                                 its length)
//            | 'end=' E           after the frames: 'stop' (default, no more audio),
//                                 'lost' (the device reports itself lost), 'loop' (again)
//            | 'fail=' F          'open' or 'start': that step fails
//            | 'overrun=' N       one overrun is counted (waveInGetOverruns) as frame N is
//                                 produced, as if the server had dropped audio there; the
//                                 audio itself stays whole, so byte checks still hold
// Examples: "tone,freq=1000,amp=0.25"  "ramp,pace=fast,frames=51200,end=lost"
//           "wav=/tmp/voice.wav,lines=麦克风|线路输入;tone,name=Second"  "ramp,overrun=44100"
//
// The volume scales the audio: a line volume v below 65535 multiplies each sample by
// v / 65535 (truncating); 65535 leaves the signal exact. Line types follow the names
// (ComponentTypeForName).
//
// Threads: a real-time device produces on a thread of its own, in 10 ms steps, and holds
// back up to 2 s while no buffer is queued (beyond that the oldest audio is dropped and
// counted as an overrun); a fast device produces on the thread that queues the buffer.
// After a stop, a real-time device still hands what it held back to the buffers queued
// until the reset; a fast one drops what it had produced ahead of them.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio/Backend.h"

namespace tavrino::audio {

struct TestDevice {
    enum class Source { Tone, Ramp, Silence, Wav };
    enum class Pace { Realtime, Fast };
    enum class End { Stop, Lost, Loop };
    enum class Fail { None, Open, Start };

    Source source = Source::Tone;
    std::string path;         // Wav
    double freq = 440.0;      // Tone, Hz
    double amp = 0.5;         // Tone, 0 .. 1
    std::string name;         // empty: the default for the source
    std::vector<std::string> lines;
    int32_t line = 0;
    uint32_t volume = 65535;
    Pace pace = Pace::Realtime;
    int64_t frames = -1;      // -1: endless (Wav: the file's length)
    End end = End::Stop;
    Fail fail = Fail::None;
    int64_t overrunAt = -1;   // frame at which one overrun is counted; -1 none
};

class TestBackend final : public Backend, public std::enable_shared_from_this<TestBackend> {
public:
    explicit TestBackend(std::vector<TestDevice> devices);
    ~TestBackend() override;

    // Parses DEVICES (see above); throws tavrino::Error (number 5, "测试设备不可用: ...", the
    // part that is wrong) on a malformed one.
    static std::vector<TestDevice> ParseDevices(std::string_view setup);
    static std::shared_ptr<TestBackend> FromDevices(std::string_view setup);

    std::string Name() const override { return "test"; }
    int32_t DeviceCount() override;
    std::string DeviceName(int32_t index) override;
    // "test.N" for device N.
    std::string DeviceId(int32_t index) override;
    MMRESULT Open(int32_t index, int32_t rate, int16_t channels, StreamSink& sink,
                  std::unique_ptr<CaptureStream>& stream) override;
    std::unique_ptr<DeviceMixer> OpenMixer(int32_t index) override;

    // Makes device `index` disappear: it leaves the list, its mixer stops answering and its
    // open streams report the loss. Any thread.
    void Unplug(int32_t index);
    // The piece of audio (ms) a stream of device `index` was last asked to hand over at a
    // time: at its opening (CaptureFragmentMs) or since (CaptureStream::Fragment); 0 when
    // none was opened. The device produces in 10 ms steps whatever it is asked.
    int FragmentMs(int32_t index);

    struct DeviceState;  // shared with streams and mixers

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<DeviceState>> devices_;  // listed devices, in order
};

}  // namespace tavrino::audio
