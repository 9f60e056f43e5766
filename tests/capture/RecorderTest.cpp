// SPDX-License-Identifier: GPL-3.0-or-later
// WaveInRecorder on the test source: what GotData delivers and when, starting and
// stopping, device selection, device loss, and the input lines.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <vector>

#include "TestSupport.h"
#include "capture/WaveInRecorder.h"
#include "platform/audio/Backend.h"
#include "platform/audio/Mixer.h"
#include "platform/audio/TestBackend.h"
#include "platform/winmsg/Window.h"

namespace tavrino {
namespace {

using namespace audio;

struct Delivery {
    std::vector<int16_t> samples;  // the whole array as handed over
    int32_t lngLen;
    size_t size;
    bool onUiThread;
    bool recording;
};

struct RecorderFixture : ::testing::Test {
    void Use(const std::string& setup) {
        backend = TestBackend::FromDevices(setup);
        SetBackend(backend);
    }
    void TearDown() override {
        rec.reset();
        SetBackend(nullptr);
    }
    void Collect() {
        rec->GotData = [this](std::span<int16_t> intBuffer, int32_t& lngLen) {
            got.push_back(Delivery{std::vector<int16_t>(intBuffer.begin(), intBuffer.end()), lngLen, intBuffer.size(),
                                   QThread::currentThread() == QCoreApplication::instance()->thread(),
                                   rec->IsRecording()});
            events.push_back("data");
            if (onData) onData(intBuffer, lngLen);
        };
        rec->DeviceLost = [this] { events.push_back("lost"); };
    }
    // Handles of windows created between two probes are all gone.
    static bool NoWindowLeftBetween(winmsg::HWND a, winmsg::HWND b) {
        for (winmsg::HWND h = a + 1; h < b; ++h)
            if (winmsg::IsWindow(h)) return false;
        return true;
    }
    static winmsg::HWND Probe() {
        const winmsg::HWND h = winmsg::CreateWindowEx("STATIC", "probe");
        winmsg::DestroyWindow(h);
        return h;
    }

    std::shared_ptr<TestBackend> backend;
    std::unique_ptr<WaveInRecorder> rec = std::make_unique<WaveInRecorder>();
    std::vector<Delivery> got;
    std::vector<std::string> events;
    std::function<void(std::span<int16_t>, int32_t&)> onData;
};

TEST_F(RecorderFixture, DeliversEveryBufferWholeAndInOrderWithTheDefaults) {
    // 12 full buffers of 10240 bytes of stereo: 12 x 2560 frames.
    Use("ramp,pace=fast,frames=30720");
    Collect();
    EXPECT_EQ(rec->BufferCount(), 5);
    EXPECT_EQ(rec->BufferSize(), 10240);
    EXPECT_EQ(rec->SelectedDevice(), -1);
    ASSERT_TRUE(rec->StartRecord(44100, 2));  // no device selected: the default one
    EXPECT_TRUE(rec->IsRecording());
    EXPECT_NE(rec->NotifyWindow(), 0u);
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() == 12; }));
    test::PumpFor(std::chrono::milliseconds(30));
    EXPECT_EQ(got.size(), 12u);  // the source ended; nothing more
    int16_t expect = 0;
    for (const Delivery& d : got) {
        EXPECT_EQ(d.lngLen, 10240);
        EXPECT_EQ(d.size, 5120u);
        EXPECT_TRUE(d.onUiThread);
        for (int16_t s : d.samples) ASSERT_EQ(s, expect++);
    }
    EXPECT_TRUE(rec->StopRecord());
    EXPECT_FALSE(rec->IsRecording());
    EXPECT_EQ(rec->NotifyWindow(), 0u);
    EXPECT_TRUE(rec->StopRecord());  // again: nothing to do
}

TEST_F(RecorderFixture, ChangesMadeByTheHandlerStayLocalAndTheBufferIsRequeued) {
    Use("ramp,pace=fast,frames=3840");  // 3 buffers of 1280 frames, mono 2560-byte buffers
    Collect();
    rec->BufferCount(2);
    rec->BufferSize(2560);
    onData = [](std::span<int16_t> b, int32_t&) { std::fill(b.begin(), b.end(), int16_t{-1}); };
    ASSERT_TRUE(rec->StartRecord(8000, 1));
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() == 3; }));
    // The third buffer reused the first one's memory, which the handler had overwritten:
    // fresh audio replaced it completely.
    for (int i = 0; i < 1280; ++i) ASSERT_EQ(got[2].samples[static_cast<size_t>(i)], static_cast<int16_t>(2560 + i));
}

TEST_F(RecorderFixture, NothingIsDeliveredAfterStopRecord) {
    Use("ramp,pace=fast");
    Collect();
    onData = [this](std::span<int16_t>, int32_t&) {
        if (got.size() == 3) rec->StopRecord();  // more buffers are already posted
    };
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() >= 3; }));
    test::PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(got.size(), 3u);
    EXPECT_FALSE(rec->IsRecording());

    // A real-time recording stopped from outside: no delivery after the stop either.
    got.clear();
    onData = nullptr;
    Use("tone");
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() >= 2; }));
    rec->StopRecord();
    const size_t n = got.size();
    test::PumpFor(std::chrono::milliseconds(150));
    EXPECT_EQ(got.size(), n);
}

TEST_F(RecorderFixture, StopDeliversWhatWasCapturedOnceAndInOrder) {
    // Three full buffers (their notifications still posted) and a partly filled fourth.
    Use("ramp,pace=fast,frames=9001");
    Collect();
    // A handler that runs the event loop lets the posted notifications of the buffers the
    // stop is delivering through: they must not deliver them again.
    onData = [](std::span<int16_t>, int32_t&) { test::PumpFor(std::chrono::milliseconds(5)); };
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    EXPECT_TRUE(got.empty());
    rec->StopRecord();
    EXPECT_FALSE(rec->IsRecording());
    test::PumpFor(std::chrono::milliseconds(30));
    ASSERT_EQ(got.size(), 4u);
    int16_t expect = 0;
    for (const Delivery& d : got) {
        EXPECT_TRUE(d.recording);
        for (int32_t i = 0; i < d.lngLen / 2; ++i) ASSERT_EQ(d.samples[static_cast<size_t>(i)], expect++);
    }
    EXPECT_EQ(got[3].lngLen, (9001 - 3 * 2560) * 4);
    EXPECT_EQ(expect, 9001 * 2);

    // A handler that stops the recording gets no further buffer.
    got.clear();
    onData = [this](std::span<int16_t>, int32_t&) { rec->StopRecord(); };
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    rec->StopRecord();
    test::PumpFor(std::chrono::milliseconds(30));
    EXPECT_EQ(got.size(), 1u);
}

TEST_F(RecorderFixture, BuffersHoldWholeFramesAndForeignHeadersAreIgnored) {
    Use("ramp,pace=fast,frames=7680,overrun=3000");
    Collect();
    rec->BufferSize(10242);  // not a whole number of stereo frames
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() == 3; }));
    EXPECT_EQ(rec->Overruns(), 1u);  // the source's injected dropout is counted
    for (const Delivery& d : got) {
        EXPECT_EQ(d.lngLen, 10240);
        EXPECT_EQ(d.samples[0] % 2, 0) << "a buffer starts on a right sample";
    }
    // A data message whose header is not one of the recorder's.
    std::vector<int16_t> other(5120, 7);
    WAVEHDR foreign;
    foreign.lpData = reinterpret_cast<uint8_t*>(other.data());
    foreign.dwBufferLength = foreign.dwBytesRecorded = 10240;
    foreign.dwFlags = WHDR_DONE | WHDR_PREPARED;
    winmsg::PostMessage(rec->NotifyWindow(), MM_WIM_DATA, 0, reinterpret_cast<winmsg::LPARAM>(&foreign));
    test::PumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(got.size(), 3u);
    rec->StopRecord();
}

TEST_F(RecorderFixture, FailedStartLeavesNothingOpen) {
    Use("tone,fail=start;tone,fail=open;tone");
    Collect();
    ASSERT_TRUE(rec->SelectDevice(0));
    winmsg::HWND before = Probe();
    EXPECT_FALSE(rec->StartRecord(44100, 2));
    EXPECT_FALSE(rec->IsRecording());
    EXPECT_EQ(rec->NotifyWindow(), 0u);
    winmsg::HWND after = Probe();
    EXPECT_GT(after, before + 1);  // a window was made, and is gone again
    EXPECT_TRUE(NoWindowLeftBetween(before, after));

    ASSERT_TRUE(rec->SelectDevice(1));
    EXPECT_FALSE(rec->StartRecord(44100, 2));
    EXPECT_FALSE(rec->IsRecording());
    before = after;
    after = Probe();
    EXPECT_TRUE(NoWindowLeftBetween(before, after));

    ASSERT_TRUE(rec->SelectDevice(2));
    EXPECT_FALSE(rec->StartRecord(44100, 3));  // bad format
    EXPECT_FALSE(rec->StartRecord(0, 2));

    // Ring sizes that cannot work are refused before anything is opened.
    const std::vector<std::pair<int32_t, int32_t>> bad = {{0, 10240}, {-1, 10240}, {65, 10240},
                                                          {5, 0},      {5, -2},    {5, 10241},
                                                          {5, (1 << 20) + 2}};
    for (auto [count, size] : bad) {
        rec->BufferCount(count);
        rec->BufferSize(size);
        EXPECT_EQ(rec->BufferCount(), count);  // stored as given
        EXPECT_EQ(rec->BufferSize(), size);
        before = Probe();
        EXPECT_FALSE(rec->StartRecord(44100, 2)) << count << " x " << size;
        EXPECT_EQ(Probe(), before + 1) << "no window was made";
    }
    rec->BufferCount(64);
    rec->BufferSize(1 << 20);
    EXPECT_TRUE(rec->StartRecord(44100, 2));
    EXPECT_FALSE(rec->StartRecord(44100, 2));  // not while recording
    EXPECT_TRUE(rec->IsRecording());
    rec->StopRecord();
    EXPECT_TRUE(got.empty());
}

TEST_F(RecorderFixture, DeviceSelectionKeepsThePreviousChoiceOnBadIndices) {
    Use("tone,name=Alpha,lines=Mic|Line In;ramp,name=一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一");
    EXPECT_EQ(rec->DeviceCount(), 2);
    EXPECT_EQ(rec->DeviceName(0), "Alpha");
    EXPECT_EQ(rec->DeviceName(1), "一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一");  // not cut
    EXPECT_EQ(rec->DeviceName(2), "");
    EXPECT_EQ(rec->DeviceName(-1), "");
    ASSERT_TRUE(rec->SelectDevice(0));
    EXPECT_EQ(rec->MixerLineCount(), 2);
    EXPECT_FALSE(rec->SelectDevice(-1));
    EXPECT_FALSE(rec->SelectDevice(rec->DeviceCount()));
    EXPECT_EQ(rec->SelectedDevice(), 0);
    EXPECT_EQ(rec->MixerLineCount(), 2);  // the mixer stayed open
    ASSERT_TRUE(rec->SelectDevice(1));
    EXPECT_EQ(rec->SelectedDevice(), 1);
    EXPECT_EQ(rec->MixerLineCount(), 1);
    EXPECT_EQ(rec->MixerLineName(0), rec->DeviceName(1));
}

TEST_F(RecorderFixture, DeviceLossIsReportedAfterTheAudioRecordedBeforeIt) {
    // 2.5 buffers, then the source reports itself lost: two full buffers, the half one,
    // then the loss.
    Use("ramp,pace=fast,frames=6400,end=lost");
    Collect();
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(test::PumpUntil([&] { return !events.empty() && events.back() == "lost"; }));
    EXPECT_EQ(events, (std::vector<std::string>{"data", "data", "data", "lost"}));
    EXPECT_EQ(got[2].lngLen, 5120);
    EXPECT_EQ(got[2].samples[2559], static_cast<int16_t>(12799));
    EXPECT_TRUE(rec->IsRecording());  // the owner decides; it stops
    EXPECT_TRUE(rec->StopRecord());

    // A device unplugged during a real-time recording.
    events.clear();
    got.clear();
    Use("tone;silence");
    ASSERT_TRUE(rec->SelectDevice(0));
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() >= 2; }));
    backend->Unplug(0);
    ASSERT_TRUE(test::PumpUntil([&] { return !events.empty() && events.back() == "lost"; }));
    EXPECT_EQ(std::count(events.begin(), events.end(), "lost"), 1);
    rec->StopRecord();
    EXPECT_EQ(rec->DeviceCount(), 1);
    EXPECT_EQ(rec->MixerLineCount(), 0);  // the selected device's mixer no longer answers
}

TEST_F(RecorderFixture, InputLinesWithoutADeviceGiveTheDefaults) {
    Use("tone,lines=Mic|Line In");
    EXPECT_EQ(rec->MixerLineCount(), 0);
    EXPECT_EQ(rec->MixerLineName(0), "");
    EXPECT_FALSE(rec->SelectMixerLine(0));
    EXPECT_EQ(rec->SelectedMixerLine(), -1);
    EXPECT_EQ(rec->MixerLineType(-1), 0);
    EXPECT_EQ(rec->MixerLineVolume(), 0);
    rec->MixerLineVolume(5);  // no effect, no crash
}

TEST_F(RecorderFixture, InputLinesSelectionTypeAndVolume) {
    Use("tone,lines=Microphone|Line In|CD Player|Aux,line=2");
    ASSERT_TRUE(rec->SelectDevice(0));
    ASSERT_EQ(rec->MixerLineCount(), 4);
    EXPECT_EQ(rec->MixerLineName(0), "Microphone");
    EXPECT_EQ(rec->MixerLineName(3), "Aux");
    EXPECT_EQ(rec->MixerLineName(4), "");
    EXPECT_EQ(rec->SelectedMixerLine(), 2);

    ASSERT_TRUE(rec->SelectMixerLine(0));
    EXPECT_EQ(rec->SelectedMixerLine(), 0);
    // Seen from the mixer itself: line 0 is the multiplexer's last item.
    HMIXER m = 0;
    ASSERT_EQ(mixerOpen(&m, 0, 0, 0, MIXER_OBJECTF_WAVEIN), MMSYSERR_NOERROR);
    MIXERLINE dest;
    mixerGetLineInfo(m, dest, MIXER_GETLINEINFOF_DESTINATION);
    MIXERCONTROL mux;
    mixerGetLineControls(m, dest.dwLineID, MIXERCONTROL_CONTROLTYPE_MUX, std::span(&mux, 1),
                         MIXER_GETLINECONTROLSF_ONEBYTYPE);
    uint32_t items[4] = {9, 9, 9, 9};
    MIXERCONTROLDETAILS d{mux.dwControlID, 1, 4, items};
    ASSERT_EQ(mixerGetControlDetails(m, d, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    EXPECT_EQ(std::vector<uint32_t>(items, items + 4), (std::vector<uint32_t>{0, 0, 0, 1}));
    mixerClose(m);

    EXPECT_EQ(rec->MixerLineType(-1), static_cast<int32_t>(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE));
    EXPECT_EQ(rec->MixerLineType(-1), rec->MixerLineType(rec->SelectedMixerLine()));
    EXPECT_EQ(rec->MixerLineType(1), static_cast<int32_t>(MIXERLINE_COMPONENTTYPE_SRC_LINE));
    EXPECT_EQ(rec->MixerLineType(2), static_cast<int32_t>(MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC));
    EXPECT_EQ(rec->MixerLineType(7), 0);

    EXPECT_FALSE(rec->SelectMixerLine(4));
    EXPECT_FALSE(rec->SelectMixerLine(-1));
    EXPECT_EQ(rec->SelectedMixerLine(), 0);

    // Each line keeps its own volume; the selected one is read and written.
    EXPECT_EQ(rec->MixerLineVolume(), 65535);
    rec->MixerLineVolume(1234);
    EXPECT_EQ(rec->MixerLineVolume(), 1234);
    ASSERT_TRUE(rec->SelectMixerLine(3));
    EXPECT_EQ(rec->MixerLineVolume(), 65535);
    rec->MixerLineVolume(70000);
    EXPECT_EQ(rec->MixerLineVolume(), 65535);
    rec->MixerLineVolume(-5);
    EXPECT_EQ(rec->MixerLineVolume(), 0);
    ASSERT_TRUE(rec->SelectMixerLine(0));
    EXPECT_EQ(rec->MixerLineVolume(), 1234);
}

TEST_F(RecorderFixture, LineVolumeWrittenBackUnchangedKeepsTheBalanceAndAChangeWritesBothChannels) {
    Use("tone");
    ASSERT_TRUE(rec->SelectDevice(0));
    HMIXER m = 0;
    ASSERT_EQ(mixerOpen(&m, 0, 0, 0, MIXER_OBJECTF_WAVEIN), MMSYSERR_NOERROR);
    MIXERLINE line;
    ASSERT_EQ(mixerGetLineInfo(m, line, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
    MIXERCONTROL volume;
    ASSERT_EQ(mixerGetLineControls(m, line.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, std::span(&volume, 1),
                                   MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMSYSERR_NOERROR);
    uint32_t values[2] = {40000, 20000};
    MIXERCONTROLDETAILS d{volume.dwControlID, 2, 0, values};
    ASSERT_EQ(mixerSetControlDetails(m, d, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    auto channels = [&] {
        values[0] = values[1] = 0;
        mixerGetControlDetails(m, d, MIXER_GETCONTROLDETAILSF_VALUE);
        return std::vector<uint32_t>(values, values + 2);
    };

    ASSERT_TRUE(rec->SelectMixerLine(0));
    rec->MixerLineVolume(rec->MixerLineVolume());  // what the window does on a line click
    EXPECT_EQ(channels(), (std::vector<uint32_t>{40000, 20000}));
    rec->MixerLineVolume(30000);  // a slider move
    EXPECT_EQ(channels(), (std::vector<uint32_t>{30000, 30000}));
    rec->MixerLineVolume(40000);  // moved back: a change from what was last written
    EXPECT_EQ(channels(), (std::vector<uint32_t>{40000, 40000}));
    mixerClose(m);
}

TEST_F(RecorderFixture, LineVolumeScalesTheTestSignal) {
    Use("ramp,pace=fast,frames=2560");
    Collect();
    ASSERT_TRUE(rec->SelectDevice(0));
    rec->MixerLineVolume(32767);
    ASSERT_TRUE(rec->StartRecord(44100, 2));
    ASSERT_TRUE(test::PumpUntil([&] { return got.size() == 1; }));
    EXPECT_EQ(got[0].samples[5000], static_cast<int16_t>(5000 * 32767 / 65535));
}

}  // namespace
}  // namespace tavrino
