// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/TestBackend.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <thread>

#include "core/Error.h"
#include "core/Nearest.h"
#include "core/WaveFormat.h"

namespace tavrino::audio {

namespace {

constexpr auto kTick = std::chrono::milliseconds(10);  // real-time production step
constexpr int32_t kHoldBackSeconds = 2;                 // audio kept while no buffer is queued
constexpr int64_t kFastChunkFrames = 2048;

[[noreturn]] void Bad(std::string_view what) {
    throw Error(5, "测试设备不可用: " + std::string(what));
}

std::vector<std::string> Split(std::string_view s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        const size_t p = s.find(sep, start);
        out.emplace_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
        if (p == std::string_view::npos) break;
        start = p + 1;
    }
    return out;
}

double ParseNumber(const std::string& v, const std::string& key) {
    try {
        size_t used = 0;
        const double d = std::stod(v, &used);
        if (used != v.size() || !std::isfinite(d)) Bad(key + "=" + v);
        return d;
    } catch (const std::logic_error&) {
        Bad(key + "=" + v);
    }
}

std::string BaseName(const std::string& path) {
    const size_t p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

// A 16-bit PCM WAV file, wholly in memory.
struct WavData {
    int32_t rate = 0;
    int16_t channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

bool LoadWav(const std::string& path, WavData& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return false;
    bool haveFmt = false;
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        const uint32_t len = WaveFormat::ReadU32(b, pos + 4);
        const size_t body = pos + 8;
        const size_t avail = std::min<size_t>(len, b.size() - body);
        if (std::memcmp(b.data() + pos, "fmt ", 4) == 0 && avail >= 16) {
            const WaveFormat fmt(std::span<const uint8_t>(b.data() + body, avail));
            if (fmt.FormatTag() != WAVE_FORMAT_PCM || fmt.BitsPerSample() != 16 || fmt.Channels() < 1 ||
                fmt.Channels() > 2 || fmt.SamplesPerSec() <= 0)
                return false;
            out.rate = fmt.SamplesPerSec();
            out.channels = fmt.Channels();
            haveFmt = true;
        } else if (std::memcmp(b.data() + pos, "data", 4) == 0 && haveFmt) {
            const size_t frames = avail / (2u * static_cast<size_t>(out.channels));
            out.samples.resize(frames * static_cast<size_t>(out.channels));
            for (size_t i = 0; i < out.samples.size(); ++i)
                out.samples[i] = static_cast<int16_t>(WaveFormat::ReadU16(b, body + 2 * i));
            return true;
        }
        pos = body + len + (len & 1);
    }
    return false;
}

}  // namespace

class TestStream;

struct TestBackend::DeviceState {
    TestDevice setup;
    std::string name;
    std::shared_ptr<const WavData> wav;

    std::mutex mutex;  // guards the fields below
    bool gone = false;
    int32_t active = 0;
    std::vector<std::array<uint32_t, 2>> volumes;
    std::vector<TestStream*> streams;
    std::atomic<uint32_t> gain{65535};  // volume of the active line's first channel
    std::atomic<int> fragmentMs{0};      // what a stream was last asked for

    void UpdateGainLocked() { gain = volumes.empty() ? 65535 : volumes[static_cast<size_t>(active)][0]; }
};

// One open test device. Produces frames of its signal and hands them to the sink.
class TestStream final : public CaptureStream {
public:
    TestStream(std::shared_ptr<TestBackend::DeviceState> dev, int32_t rate, int16_t channels, StreamSink& sink)
        : dev_(std::move(dev)), rate_(rate), channels_(channels), sink_(sink) {
        const int64_t capFrames = dev_->setup.pace == TestDevice::Pace::Realtime
                                      ? static_cast<int64_t>(rate) * kHoldBackSeconds
                                      : kFastChunkFrames;
        pending_.resize(static_cast<size_t>(capFrames * channels));
        limit_ = dev_->setup.frames;
        if (limit_ < 0 && dev_->wav) limit_ = static_cast<int64_t>(dev_->wav->samples.size() / dev_->wav->channels);
        dev_->fragmentMs = CaptureFragmentMs();
        std::lock_guard lock(dev_->mutex);
        dev_->streams.push_back(this);
    }

    ~TestStream() override {
        StopThread();
        std::lock_guard lock(dev_->mutex);
        std::erase(dev_->streams, this);
    }

    MMRESULT Start() override {
        if (dev_->setup.fail == TestDevice::Fail::Start) return MMSYSERR_ERROR;
        started_ = true;
        if (dev_->setup.pace == TestDevice::Pace::Realtime) {
            if (!thread_.joinable()) {
                quit_ = false;
                thread_ = std::thread([this] { Run(); });
            }
        } else {
            ProduceFast();
        }
        return MMSYSERR_NOERROR;
    }

    // What a real-time device captured before the stop is still handed over, as buffers
    // are queued; a fast one only produced it ahead of the buffers.
    MMRESULT Stop() override {
        StopThread();
        started_ = false;
        if (dev_->setup.pace == TestDevice::Pace::Fast) pendLen_ = 0;
        Flush();
        return MMSYSERR_NOERROR;
    }

    void Reset() override {
        Stop();
        pendLen_ = 0;
    }

    void BufferQueued() override {
        if (!started_) {
            Flush();
            return;
        }
        if (dev_->setup.pace == TestDevice::Pace::Fast) {
            ProduceFast();
        } else {
            std::lock_guard lock(wakeMutex_);
            wake_ = true;
            wakeCv_.notify_one();
        }
    }

    uint32_t Overruns() const override { return overruns_.load(); }
    void Fragment(int ms) override { dev_->fragmentMs = ms; }  // produced in 10 ms steps all the same

    // The device was unplugged.
    void MarkLost() { sink_.Lost(); }

private:
    void StopThread() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(wakeMutex_);
            quit_ = true;
            wakeCv_.notify_one();
        }
        thread_.join();
    }

    // Real-time production: every tick, the frames due by the clock join the pending audio,
    // and as much of it as the queued buffers take is written.
    void Run() {
        const auto t0 = std::chrono::steady_clock::now();
        int64_t due = 0;
        auto next = t0;
        while (true) {
            {
                std::unique_lock lock(wakeMutex_);
                wakeCv_.wait_until(lock, next, [this] { return quit_ || wake_; });
                if (quit_) return;
                wake_ = false;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= next) {
                const auto elapsed = std::chrono::duration<double>(now - t0).count();
                const int64_t target = static_cast<int64_t>(elapsed * rate_);
                const int64_t frames = target - due;
                due = target;
                Produce(frames);
                next += kTick;
                if (next < now) next = now + kTick;
            }
            Flush();
            if (EndReached() && pendLen_ == 0) ReportEnd();
        }
    }

    void ProduceFast() {
        while (true) {
            if (pendLen_ == 0) {
                if (Produce(kFastChunkFrames) == 0) {
                    ReportEnd();
                    return;
                }
            }
            const size_t before = pendLen_;
            Flush();
            if (pendLen_ == before || pendLen_ != 0) return;  // no buffer left queued
        }
    }

    bool EndReached() const { return limit_ >= 0 && pos_ >= limit_ && dev_->setup.end != TestDevice::End::Loop; }

    void ReportEnd() {
        if (dev_->setup.end == TestDevice::End::Lost && EndReached() && !endReported_) {
            endReported_ = true;
            sink_.Lost();
        }
    }

    // Appends up to `frames` frames of the signal to the pending audio; returns how many.
    int64_t Produce(int64_t frames) {
        const int64_t cap = static_cast<int64_t>(pending_.size()) / channels_;
        int64_t have = static_cast<int64_t>(pendLen_) / channels_;
        if (frames > cap) frames = cap;
        if (have + frames > cap) {  // nothing reads: the oldest audio goes
            const int64_t drop = have + frames - cap;
            std::memmove(pending_.data(), pending_.data() + drop * channels_,
                         static_cast<size_t>((have - drop) * channels_) * sizeof(int16_t));
            have -= drop;
            ++overruns_;
        }
        int16_t* out = pending_.data() + have * channels_;
        int64_t made = 0;
        const uint32_t gain = dev_->gain.load();
        for (; made < frames; ++made) {
            if (limit_ >= 0 && pos_ >= limit_) {
                if (dev_->setup.end != TestDevice::End::Loop || limit_ == 0) break;
                pos_ = 0;
                sampleIndex_ = 0;
            }
            if (pos_ == dev_->setup.overrunAt) ++overruns_;
            for (int16_t c = 0; c < channels_; ++c) {
                int32_t v = Sample(c);
                if (gain < 65535) v = static_cast<int32_t>(static_cast<int64_t>(v) * gain / 65535);
                *out++ = static_cast<int16_t>(v);
                ++sampleIndex_;
            }
            ++pos_;
        }
        pendLen_ = static_cast<size_t>((have + made) * channels_);
        return made;
    }

    int32_t Sample(int16_t c) const {
        const TestDevice& s = dev_->setup;
        switch (s.source) {
        case TestDevice::Source::Tone: {
            const double phase = 2.0 * std::numbers::pi * s.freq * static_cast<double>(pos_) / rate_;
            return ToSample(s.amp * 32767.0 * std::sin(phase));
        }
        case TestDevice::Source::Ramp:
            return static_cast<int16_t>(static_cast<uint16_t>(sampleIndex_ & 0xFFFF));
        case TestDevice::Source::Silence:
            return 0;
        case TestDevice::Source::Wav: {
            const WavData& w = *dev_->wav;
            const size_t base = static_cast<size_t>(pos_) * static_cast<size_t>(w.channels);
            if (base >= w.samples.size()) return 0;
            if (w.channels == channels_) return w.samples[base + static_cast<size_t>(c)];
            if (w.channels == 1) return w.samples[base];
            return (w.samples[base] + w.samples[base + 1]) / 2;  // stereo file, mono device
        }
        }
        return 0;
    }

    void Flush() {
        if (pendLen_ == 0) return;
        const size_t bytes = pendLen_ * sizeof(int16_t);
        const size_t taken = sink_.Write(reinterpret_cast<const uint8_t*>(pending_.data()), bytes) / sizeof(int16_t);
        if (taken == 0) return;
        std::memmove(pending_.data(), pending_.data() + taken, (pendLen_ - taken) * sizeof(int16_t));
        pendLen_ -= taken;
    }

    const std::shared_ptr<TestBackend::DeviceState> dev_;
    const int32_t rate_;
    const int16_t channels_;
    StreamSink& sink_;

    std::vector<int16_t> pending_;  // audio produced but not yet taken, from index 0
    size_t pendLen_ = 0;            // samples
    int64_t limit_ = -1;            // frames before the end, -1 endless
    int64_t pos_ = 0;               // frames produced
    int64_t sampleIndex_ = 0;       // samples produced (the ramp's value)
    bool started_ = false;
    bool endReported_ = false;
    std::atomic<uint32_t> overruns_{0};

    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    bool quit_ = false;
    bool wake_ = false;
};

namespace {

class TestMixer final : public DeviceMixer {
public:
    explicit TestMixer(std::shared_ptr<TestBackend::DeviceState> dev) : dev_(std::move(dev)) {}

    std::string Name() override { return dev_->name; }

    bool Lines(std::vector<LineInfo>& lines) override {
        std::lock_guard lock(dev_->mutex);
        if (dev_->gone) return false;
        lines.clear();
        for (const std::string& n : dev_->setup.lines) lines.push_back(LineInfo{n, ComponentTypeForName(n), 2});
        return true;
    }
    int32_t ActiveLine() override {
        std::lock_guard lock(dev_->mutex);
        return dev_->gone ? -1 : dev_->active;
    }
    bool SelectLine(int32_t line) override {
        std::lock_guard lock(dev_->mutex);
        if (dev_->gone || line < 0 || line >= static_cast<int32_t>(dev_->volumes.size())) return false;
        dev_->active = line;
        dev_->UpdateGainLocked();
        return true;
    }
    bool GetVolume(int32_t line, std::span<uint32_t> values) override {
        std::lock_guard lock(dev_->mutex);
        if (dev_->gone || line < 0 || line >= static_cast<int32_t>(dev_->volumes.size())) return false;
        for (size_t c = 0; c < values.size(); ++c) values[c] = dev_->volumes[static_cast<size_t>(line)][std::min<size_t>(c, 1)];
        return true;
    }
    bool SetVolume(int32_t line, std::span<const uint32_t> values) override {
        std::lock_guard lock(dev_->mutex);
        if (dev_->gone || line < 0 || line >= static_cast<int32_t>(dev_->volumes.size())) return false;
        for (size_t c = 0; c < values.size() && c < 2; ++c)
            dev_->volumes[static_cast<size_t>(line)][c] = std::min<uint32_t>(values[c], 65535);
        dev_->UpdateGainLocked();
        return true;
    }

private:
    std::shared_ptr<TestBackend::DeviceState> dev_;
};

}  // namespace

std::vector<TestDevice> TestBackend::ParseDevices(std::string_view setup) {
    std::vector<TestDevice> out;
    if (setup.empty()) setup = "tone";
    for (const std::string& dev : Split(setup, ';')) {
        TestDevice d;
        const std::vector<std::string> parts = Split(dev, ',');
        const std::string& src = parts[0];
        if (src == "tone") d.source = TestDevice::Source::Tone;
        else if (src == "ramp") d.source = TestDevice::Source::Ramp;
        else if (src == "silence") d.source = TestDevice::Source::Silence;
        else if (src.rfind("wav=", 0) == 0 && src.size() > 4) {
            d.source = TestDevice::Source::Wav;
            d.path = src.substr(4);
        } else Bad("未知的来源 \"" + src + "\"");
        for (size_t i = 1; i < parts.size(); ++i) {
            const size_t eq = parts[i].find('=');
            if (eq == std::string::npos) Bad("选项没有值 \"" + parts[i] + "\"");
            const std::string key = parts[i].substr(0, eq);
            const std::string val = parts[i].substr(eq + 1);
            if (key == "freq") {
                d.freq = ParseNumber(val, key);
                if (d.freq < 0) Bad(key + "=" + val);
            } else if (key == "amp") {
                d.amp = ParseNumber(val, key);
                if (d.amp < 0 || d.amp > 1) Bad(key + "=" + val);
            } else if (key == "name") {
                d.name = val;
            } else if (key == "lines") {
                d.lines = Split(val, '|');
            } else if (key == "line") {
                d.line = static_cast<int32_t>(ParseNumber(val, key));
            } else if (key == "volume") {
                const double v = ParseNumber(val, key);
                if (v < 0 || v > 65535) Bad(key + "=" + val);
                d.volume = static_cast<uint32_t>(v);
            } else if (key == "pace") {
                if (val == "realtime") d.pace = TestDevice::Pace::Realtime;
                else if (val == "fast") d.pace = TestDevice::Pace::Fast;
                else Bad(key + "=" + val);
            } else if (key == "frames") {
                const double v = ParseNumber(val, key);
                if (v < 0) Bad(key + "=" + val);
                d.frames = static_cast<int64_t>(v);
            } else if (key == "end") {
                if (val == "stop") d.end = TestDevice::End::Stop;
                else if (val == "lost") d.end = TestDevice::End::Lost;
                else if (val == "loop") d.end = TestDevice::End::Loop;
                else Bad(key + "=" + val);
            } else if (key == "overrun") {
                const double v = ParseNumber(val, key);
                if (v < 0) Bad(key + "=" + val);
                d.overrunAt = static_cast<int64_t>(v);
            } else if (key == "fail") {
                if (val == "open") d.fail = TestDevice::Fail::Open;
                else if (val == "start") d.fail = TestDevice::Fail::Start;
                else Bad(key + "=" + val);
            } else {
                Bad("未知的选项 \"" + key + "\"");
            }
        }
        out.push_back(std::move(d));
    }
    return out;
}

std::shared_ptr<TestBackend> TestBackend::FromDevices(std::string_view setup) {
    return std::make_shared<TestBackend>(ParseDevices(setup));
}

TestBackend::TestBackend(std::vector<TestDevice> devices) {
    for (TestDevice& s : devices) {
        auto d = std::make_shared<DeviceState>();
        if (s.source == TestDevice::Source::Wav) {
            auto wav = std::make_shared<WavData>();
            if (LoadWav(s.path, *wav)) d->wav = std::move(wav);
        }
        if (!s.name.empty()) d->name = s.name;
        else if (s.source == TestDevice::Source::Tone) d->name = "Test tone " + std::to_string(std::lround(s.freq)) + " Hz";
        else if (s.source == TestDevice::Source::Ramp) d->name = "Test ramp";
        else if (s.source == TestDevice::Source::Silence) d->name = "Test silence";
        else d->name = "Test WAV " + BaseName(s.path);
        if (s.lines.empty()) s.lines.push_back(d->name);
        d->active = std::clamp<int32_t>(s.line, 0, static_cast<int32_t>(s.lines.size()) - 1);
        d->volumes.assign(s.lines.size(), {s.volume, s.volume});
        d->setup = std::move(s);
        d->UpdateGainLocked();
        devices_.push_back(std::move(d));
    }
}

TestBackend::~TestBackend() = default;

int32_t TestBackend::DeviceCount() {
    std::lock_guard lock(mutex_);
    return static_cast<int32_t>(devices_.size());
}

std::string TestBackend::DeviceName(int32_t index) {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int32_t>(devices_.size())) return {};
    return devices_[static_cast<size_t>(index)]->name;
}

std::string TestBackend::DeviceId(int32_t index) {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int32_t>(devices_.size())) return {};
    return "test." + std::to_string(index);
}

MMRESULT TestBackend::Open(int32_t index, int32_t rate, int16_t channels, StreamSink& sink,
                           std::unique_ptr<CaptureStream>& stream) {
    std::shared_ptr<DeviceState> dev;
    {
        std::lock_guard lock(mutex_);
        if (index == WAVE_MAPPER) index = 0;
        if (index < 0 || index >= static_cast<int32_t>(devices_.size())) return MMSYSERR_BADDEVICEID;
        dev = devices_[static_cast<size_t>(index)];
    }
    if (dev->setup.fail == TestDevice::Fail::Open) return MMSYSERR_NODRIVER;
    if (dev->setup.source == TestDevice::Source::Wav) {
        if (!dev->wav) return MMSYSERR_NODRIVER;  // the file could not be read
        if (dev->wav->rate != rate) return WAVERR_BADFORMAT;
    }
    stream = std::make_unique<TestStream>(dev, rate, channels, sink);
    return MMSYSERR_NOERROR;
}

std::unique_ptr<DeviceMixer> TestBackend::OpenMixer(int32_t index) {
    std::lock_guard lock(mutex_);
    if (index == WAVE_MAPPER) index = 0;
    if (index < 0 || index >= static_cast<int32_t>(devices_.size())) return nullptr;
    return std::make_unique<TestMixer>(devices_[static_cast<size_t>(index)]);
}

int TestBackend::FragmentMs(int32_t index) {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int32_t>(devices_.size())) return 0;
    return devices_[static_cast<size_t>(index)]->fragmentMs;
}

void TestBackend::Unplug(int32_t index) {
    std::shared_ptr<DeviceState> dev;
    {
        std::lock_guard lock(mutex_);
        if (index < 0 || index >= static_cast<int32_t>(devices_.size())) return;
        dev = devices_[static_cast<size_t>(index)];
        devices_.erase(devices_.begin() + index);
    }
    std::lock_guard lock(dev->mutex);
    dev->gone = true;
    for (TestStream* s : dev->streams) s->MarkLost();
}

}  // namespace tavrino::audio
