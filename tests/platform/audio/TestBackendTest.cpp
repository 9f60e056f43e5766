// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-input layer's contract, on the test source: buffers filled in queue order,
// audio held back while nothing is queued, what Stop, Reset and Close do, the test
// source's device descriptions, and the mixer's line view.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "TestSupport.h"
#include "core/Error.h"
#include "platform/audio/Backend.h"
#include "platform/audio/Mixer.h"
#include "platform/audio/TestBackend.h"
#include "platform/audio/WaveIn.h"

namespace tavrino {
namespace {

using namespace audio;
using namespace winmsg;

// A notification window that records returned headers and loss reports.
struct Listener {
    Listener() {
        hwnd = CreateWindowEx("STATIC", "listener", MakeWndProc([this](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
            if (m == MM_WIM_DATA) done.push_back(reinterpret_cast<WAVEHDR*>(l));
            if (m == MM_WIM_DEVICELOST) ++lost;
            if (m == MM_WIM_OPEN) ++opened;
            if (m == MM_WIM_CLOSE) ++closed;
            return 0;
        }));
    }
    ~Listener() { DestroyWindow(hwnd); }
    HWND hwnd = 0;
    std::vector<WAVEHDR*> done;
    int lost = 0, opened = 0, closed = 0;
};

struct Ring {
    explicit Ring(size_t count, size_t bytes) : data(count, std::vector<int16_t>(bytes / 2)), hdr(count) {
        for (size_t i = 0; i < count; ++i) {
            hdr[i].lpData = reinterpret_cast<uint8_t*>(data[i].data());
            hdr[i].dwBufferLength = static_cast<uint32_t>(bytes);
            hdr[i].dwUser = i;
        }
    }
    std::vector<std::vector<int16_t>> data;
    std::vector<WAVEHDR> hdr;
};

struct BackendScope {
    explicit BackendScope(const std::string& setup) : backend(TestBackend::FromDevices(setup)) { SetBackend(backend); }
    ~BackendScope() { SetBackend(nullptr); }
    std::shared_ptr<TestBackend> backend;
};

constexpr uint32_t H = sizeof(WAVEHDR);

TEST(WaveInLayer, FillsQueuedBuffersInOrderAndHoldsAudioBackWhileNoneIsQueued) {
    BackendScope scope("ramp,pace=fast");
    Listener l;
    HWAVEIN h = 0;
    ASSERT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(8000, 1), l.hwnd, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    Ring ring(3, 64);
    for (auto& x : ring.hdr) ASSERT_EQ(waveInPrepareHeader(h, &x, H), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[1], H), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[1], H), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[0], H), MMSYSERR_NOERROR);
    test::PumpFor(std::chrono::milliseconds(10));
    EXPECT_TRUE(l.done.empty());  // not started yet
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(test::PumpUntil([&] { return l.done.size() == 2; }));
    EXPECT_EQ(l.done[0], &ring.hdr[1]);
    EXPECT_EQ(l.done[1], &ring.hdr[0]);
    // Samples continue across buffers: nothing was lost between them, even with no buffer
    // queued for a while after.
    test::PumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[2], H), MMSYSERR_NOERROR);
    ASSERT_TRUE(test::PumpUntil([&] { return l.done.size() == 3; }));
    int16_t expect = 0;
    for (WAVEHDR* x : l.done) {
        EXPECT_EQ(x->dwBytesRecorded, 64u);
        EXPECT_TRUE(x->dwFlags & WHDR_DONE);
        EXPECT_FALSE(x->dwFlags & WHDR_INQUEUE);
        const auto* s = reinterpret_cast<const int16_t*>(x->lpData);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(s[i], expect++);
    }
    // Close is refused while a buffer is queued; Reset returns it.
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[1], H), MMSYSERR_NOERROR);
    test::PumpUntil([&] { return l.done.size() == 4; });
    EXPECT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[0], H), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInUnprepareHeader(h, &ring.hdr[0], H), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(test::PumpUntil([&] { return l.done.size() == 5; }));
    EXPECT_EQ(l.done[4]->dwBytesRecorded, 0u);  // stopped: nothing recorded into it
    for (auto& x : ring.hdr) EXPECT_EQ(waveInUnprepareHeader(h, &x, H), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(h, &ring.hdr[0], H), WAVERR_UNPREPARED);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);
    test::PumpUntil([&] { return l.closed == 1; });
    EXPECT_EQ(l.opened, 1);
}

TEST(WaveInLayer, RefusesWhatItCannotOpen) {
    BackendScope scope("tone;tone,fail=open");
    Listener l;
    HWAVEIN h = 123;
    EXPECT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(44100, 2, 8), l.hwnd, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(44100, 3), l.hwnd, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    EXPECT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(0, 2), l.hwnd, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    EXPECT_EQ(waveInOpen(&h, 2, WaveFormat::Pcm(44100, 2), l.hwnd, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&h, 1, WaveFormat::Pcm(44100, 2), l.hwnd, 0, CALLBACK_WINDOW), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(44100, 2), 0, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInStart(12345), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInGetOverruns(12345), 0u);
}

TEST(WaveInLayer, RealTimeSourceCountsWhatItHadToDrop) {
    BackendScope scope("tone");
    Listener l;
    HWAVEIN h = 0;
    ASSERT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(48000, 2), l.hwnd, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInGetOverruns(h), 0u);
    // Nothing queued for longer than the source holds back (2 s).
    ASSERT_TRUE(test::PumpUntil([&] { return waveInGetOverruns(h) > 0; }, std::chrono::seconds(4)));
    waveInReset(h);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST(TestSource, DeviceListGrammar) {
    auto devs = TestBackend::ParseDevices("tone,freq=1000,amp=0.25,lines=Mic|Line In,line=1,volume=1000;"
                                       "ramp,pace=fast,frames=100,end=lost,name=R;wav=/x/y.wav,end=loop,fail=start");
    ASSERT_EQ(devs.size(), 3u);
    EXPECT_EQ(devs[0].freq, 1000);
    EXPECT_EQ(devs[0].amp, 0.25);
    EXPECT_EQ(devs[0].lines, (std::vector<std::string>{"Mic", "Line In"}));
    EXPECT_EQ(devs[0].line, 1);
    EXPECT_EQ(devs[0].volume, 1000u);
    EXPECT_EQ(devs[1].source, TestDevice::Source::Ramp);
    EXPECT_EQ(devs[1].pace, TestDevice::Pace::Fast);
    EXPECT_EQ(devs[1].frames, 100);
    EXPECT_EQ(devs[1].end, TestDevice::End::Lost);
    EXPECT_EQ(devs[1].name, "R");
    EXPECT_EQ(devs[2].path, "/x/y.wav");
    EXPECT_EQ(devs[2].end, TestDevice::End::Loop);
    EXPECT_EQ(devs[2].fail, TestDevice::Fail::Start);
    EXPECT_EQ(TestBackend::ParseDevices("").size(), 1u);

    for (const char* bad : {"noise", "tone,freq", "tone,amp=2", "tone,freq=abc", "tone,pace=slow", "tone,colour=red",
                            "wav=", "tone,frames=-1"}) {
        EXPECT_THROW(TestBackend::ParseDevices(bad), Error) << bad;
    }
    // The environment's choice: a malformed test setup still gives a test source.
    EXPECT_EQ(MakeBackend("test:tone;ramp")->DeviceCount(), 2);
    EXPECT_EQ(MakeBackend("test:bogus")->Name(), "test");
    EXPECT_EQ(MakeBackend("test")->DeviceName(0), "Test tone 440 Hz");
}

TEST(TestSource, WavFileIsPlayedAsInputAtItsOwnRateOnly) {
    const std::string path = ::testing::TempDir() + "/capture_test_source.wav";
    {
        // 8000 Hz mono, 6 samples.
        const int16_t samples[] = {1, -2, 300, -400, 32767, -32768};
        std::vector<uint8_t> b;
        auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
        auto u16 = [&](uint16_t v) { b.push_back(static_cast<uint8_t>(v)); b.push_back(static_cast<uint8_t>(v >> 8)); };
        b.insert(b.end(), {'R', 'I', 'F', 'F'});
        u32(36 + sizeof samples);
        b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        u32(16); u16(1); u16(1); u32(8000); u32(16000); u16(2); u16(16);
        b.insert(b.end(), {'d', 'a', 't', 'a'});
        u32(sizeof samples);
        for (int16_t s : samples) u16(static_cast<uint16_t>(s));
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    BackendScope scope("wav=" + path + ",pace=fast");
    EXPECT_EQ(scope.backend->DeviceName(0), "Test WAV capture_test_source.wav");
    Listener l;
    HWAVEIN h = 0;
    EXPECT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(44100, 2), l.hwnd, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    ASSERT_EQ(waveInOpen(&h, 0, WaveFormat::Pcm(8000, 2), l.hwnd, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    Ring ring(1, 32);
    waveInPrepareHeader(h, &ring.hdr[0], H);
    waveInStart(h);
    waveInAddBuffer(h, &ring.hdr[0], H);
    test::PumpFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(l.done.empty());  // the file holds 24 bytes in stereo: not a full buffer
    waveInStop(h);                // Stop returns the part that was recorded
    ASSERT_TRUE(test::PumpUntil([&] { return l.done.size() == 1; }));
    EXPECT_EQ(ring.hdr[0].dwBytesRecorded, 24u);
    EXPECT_EQ(std::vector<int16_t>(ring.data[0].begin(), ring.data[0].begin() + 12),
              (std::vector<int16_t>{1, 1, -2, -2, 300, 300, -400, -400, 32767, 32767, -32768, -32768}));
    waveInReset(h);
    waveInUnprepareHeader(h, &ring.hdr[0], H);
    waveInClose(h);
    std::remove(path.c_str());
}

TEST(Mixer, RawVolumeScaleIsReversibleAndFullScaleIsTheServersHundredPercent) {
    EXPECT_EQ(ServerVolumeFromRaw(65535), 65536u);
    EXPECT_EQ(ServerVolumeFromRaw(0), 0u);
    EXPECT_EQ(RawFromServerVolume(65536), 65535u);
    EXPECT_EQ(RawFromServerVolume(98304), 65535u);  // 150 %
    for (uint32_t r = 0; r <= 65535; ++r) {
        ASSERT_EQ(RawFromServerVolume(ServerVolumeFromRaw(r)), r);
        if (r > 0) {
            ASSERT_GT(ServerVolumeFromRaw(r), ServerVolumeFromRaw(r - 1));
        }
    }
}

TEST(Mixer, LinesAppearAsSourcesOfTheRecordingDestinationWithAReversedMultiplexer) {
    BackendScope scope("tone,lines=Mic|Line In|CD|Aux,line=1");
    HMIXER m = 0;
    ASSERT_EQ(mixerOpen(&m, 0, 0, 0, MIXER_OBJECTF_WAVEIN), MMSYSERR_NOERROR);
    MIXERCAPS caps;
    ASSERT_EQ(mixerGetDevCaps(m, caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.cDestinations, 1u);
    MIXERLINE dest;
    ASSERT_EQ(mixerGetLineInfo(m, dest, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(dest.dwComponentType, MIXERLINE_COMPONENTTYPE_DST_WAVEIN);
    EXPECT_EQ(dest.cConnections, 4u);
    MIXERCONTROL mux;
    ASSERT_EQ(mixerGetLineControls(m, dest.dwLineID, MIXERCONTROL_CONTROLTYPE_MUX, std::span(&mux, 1),
                                   MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMSYSERR_NOERROR);
    EXPECT_EQ(mux.cMultipleItems, 4u);
    uint32_t items[4] = {};
    MIXERCONTROLDETAILS d{mux.dwControlID, 1, 4, items};
    ASSERT_EQ(mixerGetControlDetails(m, d, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    EXPECT_EQ(std::vector<uint32_t>(items, items + 4), (std::vector<uint32_t>{0, 0, 1, 0}));  // line 1 = item 2
    MIXERLINE src;
    src.dwSource = 3;
    ASSERT_EQ(mixerGetLineInfo(m, src, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(src.szName, "Aux");
    EXPECT_EQ(src.dwComponentType, MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY);
    src.dwSource = 4;
    EXPECT_EQ(mixerGetLineInfo(m, src, MIXER_GETLINEINFOF_SOURCE), MIXERR_INVALLINE);
    scope.backend->Unplug(0);
    EXPECT_EQ(mixerGetLineInfo(m, dest, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NODRIVER);
    EXPECT_EQ(mixerClose(m), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerClose(m), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mixerOpen(&m, 0, 0, 0, MIXER_OBJECTF_WAVEIN), MMSYSERR_BADDEVICEID);
}

}  // namespace
}  // namespace tavrino
