// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/WaveInRecorder.h"

#include <algorithm>
#include <array>

namespace tavrino {

using namespace winmsg;
using namespace audio;

namespace {
constexpr uint32_t kHeaderSize = sizeof(WAVEHDR);
}

WaveInRecorder::WaveInRecorder() : hook_("WaveInRecorder", *this) {}

WaveInRecorder::~WaveInRecorder() {
    GotData = nullptr;  // whoever handled the buffers may be gone already
    if (IsRecording()) StopRecord();
    if (notifyWindow_ != 0) DestroyNotifyWindow();
    if (mixer_ != 0) {
        mixerClose(mixer_);
        mixer_ = 0;
    }
}

// ---- devices and the buffer ring ----

int32_t WaveInRecorder::DeviceCount() const { return static_cast<int32_t>(waveInGetNumDevs()); }

int32_t WaveInRecorder::DefaultDevice() const { return waveInGetDefaultDevice(); }

std::string WaveInRecorder::DeviceName(int32_t Index) const {
    WAVEINCAPS caps;
    waveInGetDevCaps(Index, caps);  // an invalid index leaves the name empty
    return Index < 0 ? std::string() : caps.szPname;
}

bool WaveInRecorder::SelectDevice(int32_t Index) {
    if (Index < 0 || Index > DeviceCount() - 1) return false;
    selectedDevice_ = -1;
    lineVolume_ = -1;
    if (mixer_ != 0) {
        mixerClose(mixer_);
        mixer_ = 0;
    }
    mixerOpen(&mixer_, Index, 0, 0, MIXER_OBJECTF_WAVEIN);
    if (mixer_ == 0) return false;
    selectedDevice_ = Index;
    return true;
}

bool WaveInRecorder::StartRecord(int32_t samplerate, int16_t Channels) {
    // The ring would be rebuilt under the device's feet.
    if (IsRecording()) return false;
    if (bufferCount_ < 1 || bufferCount_ > kMaxBufferCount) return false;
    if (bufferSize_ < 2 || bufferSize_ > kMaxBufferSize || bufferSize_ % 2 != 0) return false;
    if (Channels != 1 && Channels != 2) return false;
    frameBytes_ = 2u * static_cast<uint32_t>(Channels);
    // Whole frames only: a buffer that ended inside a frame would start the next one on a
    // right sample.
    const uint32_t ringBytes = static_cast<uint32_t>(bufferSize_) / frameBytes_ * frameBytes_;
    if (ringBytes == 0) return false;

    const auto count = static_cast<size_t>(bufferCount_);
    headers_.assign(count, WAVEHDR{});
    samples_.assign(count, std::vector<int16_t>());
    queued_.assign(count, 0);
    next_ = 0;

    CreateNotifyWindow();

    const WaveFormat format = WaveFormat::Pcm(samplerate, Channels);
    if (waveInOpen(&waveIn_, selectedDevice_, format, notifyWindow_, 0, CALLBACK_WINDOW) != MMSYSERR_NOERROR) {
        waveIn_ = 0;
        DestroyNotifyWindow();
        return false;
    }

    for (size_t i = 0; i < count; ++i) {
        samples_[i].assign(static_cast<size_t>(bufferSize_ / 2), 0);
        WAVEHDR& h = headers_[i];
        h.lpData = reinterpret_cast<uint8_t*>(samples_[i].data());
        h.dwBufferLength = ringBytes;
        h.dwUser = i;
        if (waveInPrepareHeader(waveIn_, &h, kHeaderSize) != MMSYSERR_NOERROR) {
            CloseAfterFailure(static_cast<int32_t>(i));
            return false;
        }
    }

    if (waveInStart(waveIn_) != MMSYSERR_NOERROR) {
        CloseAfterFailure(bufferCount_);
        return false;
    }

    for (size_t k = 0; k < count; ++k)
        queued_[k] = waveInAddBuffer(waveIn_, &headers_[k], kHeaderSize) == MMSYSERR_NOERROR;
    return true;
}

void WaveInRecorder::CloseAfterFailure(int32_t preparedCount) {
    for (int32_t i = 0; i < preparedCount; ++i)
        waveInUnprepareHeader(waveIn_, &headers_[static_cast<size_t>(i)], kHeaderSize);
    waveInClose(waveIn_);
    waveIn_ = 0;
    DestroyNotifyWindow();
}

bool WaveInRecorder::StopRecord() {
    if (stopping_) {  // from a handler of the buffers the stop delivers
        stopAsked_ = true;
        return true;
    }
    if (waveIn_ != 0) {
        stopping_ = true;
        stopAsked_ = delivering_;
        // Capture pauses; the partly filled buffer comes back done. What the device still
        // holds from before the pause goes into the buffers as they are queued again, so
        // they go round until a round brings nothing (or a handler asks to stop).
        waveInStop(waveIn_);
        for (int round = 0; round < kMaxStopRounds && DeliverFilled() > 0 && !stopAsked_; ++round) waveInStop(waveIn_);
        stopping_ = false;
        waveInReset(waveIn_);
        for (WAVEHDR& h : headers_) waveInUnprepareHeader(waveIn_, &h, kHeaderSize);
        waveInClose(waveIn_);
        waveIn_ = 0;
    }
    DestroyNotifyWindow();
    return true;
}

uint64_t WaveInRecorder::CapturedBytes() const {
    uint64_t bytes = 0;
    return waveIn_ != 0 && waveInGetPosition(waveIn_, bytes) == MMSYSERR_NOERROR ? bytes : 0;
}

uint32_t WaveInRecorder::Overruns() const { return waveIn_ != 0 ? waveInGetOverruns(waveIn_) : 0; }

void WaveInRecorder::CaptureFragment(int ms) {
    if (waveIn_ != 0) waveInSetFragment(waveIn_, ms);
}

// ---- the notification window and its hook ----

void WaveInRecorder::CreateNotifyWindow() {
    notifyWindow_ = CreateWindowEx("STATIC", "WAVE_IN_WINDOW");
    AttachHook(notifyWindow_);
}

void WaveInRecorder::AttachHook(HWND lng_hWnd) {
    hookedWindow_ = lng_hWnd;
    hook_.sc_Subclass(lng_hWnd, 0, 1, nullptr, true);
    hook_.WatchMessage(lng_hWnd, static_cast<int32_t>(MM_WIM_DATA), MSG_AFTER);
    hook_.WatchMessage(lng_hWnd, static_cast<int32_t>(MM_WIM_DEVICELOST), MSG_AFTER);
}

void WaveInRecorder::DetachHook() {
    if (hookedWindow_ != 0) {
        hook_.sc_UnSubclass(hookedWindow_);
        hookedWindow_ = 0;
    }
}

void WaveInRecorder::DestroyNotifyWindow() {
    DetachHook();
    DestroyWindow(notifyWindow_);
    notifyWindow_ = 0;
}

SubclassProc WaveInRecorder::SubclassCallback(int32_t nOrdinal) {
    if (nOrdinal != 1) return nullptr;
    return [this](bool bBefore, bool& bHandled, LRESULT& lReturn, HWND lng_hWnd, UINT uMsg, WPARAM wParam,
                  LPARAM lParam, int32_t& lParamUser) {
        zSubclass_Proc(bBefore, bHandled, lReturn, lng_hWnd, uMsg, wParam, lParam, lParamUser);
    };
}

void WaveInRecorder::zSubclass_Proc(bool bBefore, bool&, LRESULT&, HWND, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                    int32_t&) {
    if (bBefore) return;
    if (uMsg == MM_WIM_DATA) {
        OnBufferReturned(lParam);
    } else if (uMsg == MM_WIM_DEVICELOST && static_cast<HWAVEIN>(wParam) == waveIn_ && waveIn_ != 0) {
        if (DeviceLost) DeviceLost();
    }
}

void WaveInRecorder::OnBufferReturned(LPARAM lParam) {
    // The header must be one of ours and back from the device: the address is
    // compared, never dereferenced blindly, and a buffer already delivered (a stale
    // message) is not taken again.
    if (waveIn_ == 0 || headers_.empty()) return;
    const auto addr = static_cast<uintptr_t>(lParam);
    const auto base = reinterpret_cast<uintptr_t>(headers_.data());
    if (addr < base || (addr - base) % sizeof(WAVEHDR) != 0) return;
    const size_t k = (addr - base) / sizeof(WAVEHDR);
    if (k >= headers_.size() || !queued_[k] || !(headers_[k].dwFlags & WHDR_DONE)) return;

    queued_[k] = 0;
    next_ = (k + 1) % headers_.size();
    Deliver(k, headers_[k].dwBytesRecorded);
    // If the handler stopped the recording the handle is 0 and the buffer stays here.
    if (waveIn_ != 0 && !stopping_)
        queued_[k] = waveInAddBuffer(waveIn_, &headers_[k], kHeaderSize) == MMSYSERR_NOERROR;
}

void WaveInRecorder::Deliver(size_t k, uint32_t bytes) {
    bytes = std::min(bytes, headers_[k].dwBufferLength);
    bytes -= bytes % frameBytes_;
    if (bytes == 0) return;
    int32_t lngLen = static_cast<int32_t>(bytes);
    deliveredTime_ = headers_[k].reserved;
    const bool outer = delivering_;  // a handler that runs the event loop may nest
    delivering_ = true;
    if (GotData) GotData(std::span<int16_t>(samples_[k]), lngLen);
    delivering_ = outer;
}

size_t WaveInRecorder::DeliverFilled() {
    // After waveInStop the device takes nothing new. The filled ones are those marked done,
    // starting from the oldest queued; the first one still empty ends the run. All are
    // taken off the queue first, so that their notifications are refused if a handler
    // runs the event loop meanwhile. Once delivered, they go back to the end of the queue
    // for what the device still holds from before the pause.
    const size_t n = headers_.size();
    std::array<size_t, kMaxBufferCount> order{};
    size_t filled = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t k = (next_ + i) % n;
        if (!queued_[k]) continue;
        if (!(headers_[k].dwFlags & WHDR_DONE)) break;
        queued_[k] = 0;
        order[filled++] = k;
    }
    if (filled > 0) next_ = (order[filled - 1] + 1) % n;
    for (size_t i = 0; i < filled && !stopAsked_; ++i) Deliver(order[i], headers_[order[i]].dwBytesRecorded);
    for (size_t i = 0; i < filled && !stopAsked_ && waveIn_ != 0; ++i)
        queued_[order[i]] = waveInAddBuffer(waveIn_, &headers_[order[i]], kHeaderSize) == MMSYSERR_NOERROR;
    return filled;
}

// ---- input lines ----

int32_t WaveInRecorder::RecordingDestination() {
    MIXERCAPS caps;
    if (mixerGetDevCaps(mixer_, caps) != MMSYSERR_NOERROR) return -1;
    for (uint32_t d = 0; d < caps.cDestinations; ++d) {
        MIXERLINE line;
        line.dwDestination = d;
        if (mixerGetLineInfo(mixer_, line, MIXER_GETLINEINFOF_DESTINATION) == MMSYSERR_NOERROR &&
            line.dwComponentType == MIXERLINE_COMPONENTTYPE_DST_WAVEIN)
            return static_cast<int32_t>(d);
    }
    return -1;
}

int32_t WaveInRecorder::MixerLineCount() {
    if (selectedDevice_ == -1) return 0;
    const int32_t d = RecordingDestination();
    if (d < 0) return 0;
    MIXERLINE line;
    line.dwDestination = static_cast<uint32_t>(d);
    if (mixerGetLineInfo(mixer_, line, MIXER_GETLINEINFOF_DESTINATION) != MMSYSERR_NOERROR) return 0;
    return static_cast<int32_t>(line.cConnections);
}

std::string WaveInRecorder::MixerLineName(int32_t Index) {
    if (selectedDevice_ == -1 || Index < 0) return {};
    const int32_t d = RecordingDestination();
    if (d < 0) return {};
    MIXERLINE line;
    line.dwDestination = static_cast<uint32_t>(d);
    line.dwSource = static_cast<uint32_t>(Index);
    mixerGetLineInfo(mixer_, line, MIXER_GETLINEINFOF_SOURCE);  // a bad index leaves the name empty
    return line.szName;
}

int32_t WaveInRecorder::MixerLineType(int32_t Index) {
    if (Index == -1) Index = SelectedMixerLine();
    if (Index < 0) return 0;
    const int32_t d = RecordingDestination();
    if (d < 0) return 0;
    MIXERLINE line;
    line.dwDestination = static_cast<uint32_t>(d);
    line.dwSource = static_cast<uint32_t>(Index);
    if (mixerGetLineInfo(mixer_, line, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR) return 0;
    return static_cast<int32_t>(line.dwComponentType);
}

bool WaveInRecorder::MultiplexerControls(std::vector<MIXERCONTROL>& muxes) {
    MIXERLINE byType;
    byType.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    mixerGetLineInfo(mixer_, byType, MIXER_GETLINEINFOF_COMPONENTTYPE);
    MIXERLINE dest;
    dest.dwDestination = byType.dwDestination;
    if (mixerGetLineInfo(mixer_, dest, MIXER_GETLINEINFOF_DESTINATION) != MMSYSERR_NOERROR) return false;
    std::vector<MIXERCONTROL> controls(std::max<uint32_t>(dest.cControls, 1));
    if (mixerGetLineControls(mixer_, dest.dwLineID, MIXERCONTROL_CONTROLTYPE_MUX, controls,
                             MIXER_GETLINECONTROLSF_ONEBYTYPE) != MMSYSERR_NOERROR)
        return false;
    muxes.clear();
    for (const MIXERCONTROL& c : controls)
        if ((c.dwControlType & MIXERCONTROL_CONTROLTYPE_MUX) == MIXERCONTROL_CONTROLTYPE_MUX) muxes.push_back(c);
    return true;
}

bool WaveInRecorder::SelectMixerLine(int32_t Index) {
    if (selectedDevice_ == -1) return false;
    const int32_t count = MixerLineCount();
    // A line that does not exist cannot be selected; say so rather than pretend.
    if (Index < 0 || Index >= count) return false;
    const int32_t item = count - Index - 1;
    lineVolume_ = -1;
    std::vector<MIXERCONTROL> muxes;
    if (!MultiplexerControls(muxes) || muxes.empty()) return false;
    if (item >= static_cast<int32_t>(muxes[0].cMultipleItems)) return false;
    for (const MIXERCONTROL& c : muxes) {
        std::vector<uint32_t> values(c.cMultipleItems, 0);
        MIXERCONTROLDETAILS details{c.dwControlID, 1, c.cMultipleItems, values};
        mixerGetControlDetails(mixer_, details, MIXER_GETCONTROLDETAILSF_VALUE);
        for (uint32_t j = 0; j < c.cMultipleItems; ++j) values[j] = (static_cast<int32_t>(j) == item) ? 1 : 0;
        mixerSetControlDetails(mixer_, details, MIXER_SETCONTROLDETAILSF_VALUE);
    }
    return true;
}

int32_t WaveInRecorder::SelectedMixerLine() {
    const int32_t count = MixerLineCount();
    int32_t item = 0;
    std::vector<MIXERCONTROL> muxes;
    if (MultiplexerControls(muxes)) {
        for (const MIXERCONTROL& c : muxes) {
            std::vector<uint32_t> values(c.cMultipleItems, 0);
            MIXERCONTROLDETAILS details{c.dwControlID, 1, c.cMultipleItems, values};
            if (mixerGetControlDetails(mixer_, details, MIXER_GETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR) continue;
            for (uint32_t j = 0; j < c.cMultipleItems; ++j)
                if (values[j] != 0) item = static_cast<int32_t>(j);
        }
    }
    return count - item - 1;
}

uint32_t WaveInRecorder::VolumeControlId(uint32_t& channels) {
    channels = 0;
    const int32_t d = RecordingDestination();
    if (d < 0) return 0;
    const int32_t s = SelectedMixerLine();
    if (s < 0) return 0;
    MIXERLINE source;
    source.dwDestination = static_cast<uint32_t>(d);
    source.dwSource = static_cast<uint32_t>(s);
    if (mixerGetLineInfo(mixer_, source, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR) return 0;
    channels = source.cChannels;
    MIXERLINE byType;
    byType.dwComponentType = source.dwComponentType;
    if (mixerGetLineInfo(mixer_, byType, MIXER_GETLINEINFOF_COMPONENTTYPE) != MMSYSERR_NOERROR) return 0;
    MIXERCONTROL control;
    if (mixerGetLineControls(mixer_, source.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, std::span(&control, 1),
                             MIXER_GETLINECONTROLSF_ONEBYTYPE) != MMSYSERR_NOERROR)
        return 0;
    return control.dwControlID;
}

int32_t WaveInRecorder::MixerLineVolume() {
    // What is returned is what a slider will show and may write back: remembered even when
    // the line could not be read, so that a 0 shown for an unreadable line is not written.
    lineVolume_ = 0;
    uint32_t channels = 0;
    const uint32_t id = VolumeControlId(channels);
    if (id == 0) return 0;
    uint32_t values[2] = {0, 0};
    MIXERCONTROLDETAILS details{id, std::min<uint32_t>(channels, 2), 0, values};
    if (mixerGetControlDetails(mixer_, details, MIXER_GETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR) return 0;
    lineVolume_ = static_cast<int32_t>(values[0]);
    return lineVolume_;
}

void WaveInRecorder::MixerLineVolume(int32_t Volume) {
    uint32_t channels = 0;
    const uint32_t id = VolumeControlId(channels);
    if (id == 0) return;
    const int32_t clamped = std::clamp<int32_t>(Volume, 0, 65535);
    if (clamped == lineVolume_) return;  // unchanged: the other channels keep their values
    const auto v = static_cast<uint32_t>(clamped);
    uint32_t values[2] = {v, v};
    MIXERCONTROLDETAILS details{id, std::min<uint32_t>(channels, 2), 0, values};
    if (mixerSetControlDetails(mixer_, details, MIXER_SETCONTROLDETAILSF_VALUE) == MMSYSERR_NOERROR) lineVolume_ = clamped;
}

}  // namespace tavrino
