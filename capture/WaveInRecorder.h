// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// WaveInRecorder: the capture class. It lists the wave-input devices, remembers the one
// chosen, opens it for 16-bit PCM, keeps a ring of capture buffers queued on it, and raises
// GotData once for every buffer the device hands back filled. It also serves the selected
// device's input lines and their volume (the mixer).
//
// Usage (all on the UI thread, which runs a Qt event loop):
//
//   WaveInRecorder rec;
//   rec.GotData = [&](std::span<int16_t> intBuffer, int32_t& lngLen) { ... };
//   rec.DeviceLost = [&] { rec.StopRecord(); ... };
//   for (int32_t i = 0; i < rec.DeviceCount(); ++i) list.add(rec.DeviceName(i));
//   rec.SelectDevice(i);                    // optional: without it the default source
//   if (!rec.StartRecord(44100, 2)) ...     // "不能启动录音功能!"
//   ... GotData events ...
//   rec.StopRecord();
//
// GotData contract: `intBuffer` is the capture memory itself, BufferSize / 2 samples long
// (5120 by default), of which the first lngLen / 2 hold new audio (lngLen counts bytes;
// 10240 for a full default buffer). The handler may change the samples in place; the
// buffer goes back to the device as soon as the handler returns, so the handler must not
// keep the span. Buffers arrive one at a time, in the device's order, from the Qt event
// loop. A message that does not name a buffer the recorder has queued on its open device
// (a foreign address, a buffer already delivered, a message of an earlier recording) is
// ignored.
//
// StopRecord delivers what was captured: before the device closes, every buffer it has
// already filled (full ones whose notification is still pending, then the partly filled
// one) and then everything the device still held from before the stop (a sound server's
// backlog, however long: the ring goes round for it) is handed to GotData in capture
// order, synchronously, in whole frames; the pending notifications of those buffers are
// then ignored, so nothing is delivered twice.
// IsRecording() is still true during these calls and false once StopRecord returns. Such
// a handler must not call StartRecord. A handler may call StopRecord: then no further
// buffer is delivered (also when GotData came from a message: the rest is dropped, as the
// handler asked to stop at that buffer). The destructor stops without delivering.
//
// DeviceLost: raised once, on the UI thread, when the device disappears or the sound
// server goes away during a recording, after every buffer filled before the loss
// (including a last partial one) has been delivered. The recording stays open until
// StopRecord, which the handler is expected to call.
//
// Failures are results, never exceptions: false, 0, "" or -1. Only the hook's own errors
// are reported (system log and message box, see MessageHook.h).
//
// The backend behind the devices (PulseAudio or the test source) is chosen by
// TAVRINO_AUDIO or audio::SetBackend (platform/audio/Backend.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "capture/MessageHook.h"
#include "platform/audio/Mixer.h"
#include "platform/audio/WaveIn.h"

namespace tavrino {

class WaveInRecorder : public SubclassOwner {
public:
    // Limits StartRecord checks BufferCount and BufferSize against.
    static constexpr int32_t kMaxBufferCount = 64;
    static constexpr int32_t kMaxBufferSize = 1 << 20;  // bytes

    WaveInRecorder();
    // Stops a running recording, then closes the mixer.
    ~WaveInRecorder() override;
    WaveInRecorder(const WaveInRecorder&) = delete;
    WaveInRecorder& operator=(const WaveInRecorder&) = delete;

    // Events (set before StartRecord; empty = not handled).
    std::function<void(std::span<int16_t> intBuffer, int32_t& lngLen)> GotData;
    std::function<void()> DeviceLost;

    // ---- devices and the buffer ring ----
    int32_t DeviceCount() const;
    // The device's name (the source's description, UTF-8); "" for an index out of range.
    std::string DeviceName(int32_t Index) const;
    // Chooses the device and opens its mixer. False (and nothing changed) for an index
    // outside 0 .. DeviceCount - 1; false with no device selected if the mixer cannot be
    // opened.
    bool SelectDevice(int32_t Index);
    // The device that the default source is (what device -1 opens), or -1 if unlisted.
    int32_t DefaultDevice() const;
    int32_t SelectedDevice() const { return selectedDevice_; }

    // Stored unchecked; used by the next StartRecord, which refuses a count outside
    // 1 .. kMaxBufferCount and a size that is not even and within 2 .. kMaxBufferSize.
    // Buffers hold whole frames, so that every buffer starts on a left sample: in stereo
    // an even size that is not a multiple of 4 bytes is rounded down to one (10242 records
    // into 10240 bytes of each 5121-sample buffer); a size below one frame is refused.
    int32_t BufferCount() const { return bufferCount_; }
    void BufferCount(int32_t value) { bufferCount_ = value; }
    int32_t BufferSize() const { return bufferSize_; }
    void BufferSize(int32_t bytes) { bufferSize_ = bytes; }

    // Opens the selected device (or the default source) for 16-bit PCM at samplerate and
    // Channels (1 or 2), queues the ring and starts capture. False, with everything undone
    // (no window, no device), on any failure, and while already recording.
    bool StartRecord(int32_t samplerate, int16_t Channels);
    // Stops capture, hands the buffers already filled to GotData (see above), closes the
    // device and removes the notification window. Always true. Waits for a sound server
    // that does not answer at most audio::kServerWaitLimitMs (Backend.h), then closes on
    // this side alone.
    bool StopRecord();
    bool IsRecording() const { return waveIn_ != 0; }

    // ---- input lines of the selected device (its mixer) ----
    int32_t MixerLineCount();
    std::string MixerLineName(int32_t Index);
    bool SelectMixerLine(int32_t Index);
    // The selected line's index; -1 when there is none (no device selected).
    int32_t SelectedMixerLine();
    // The line's component type (audio::MIXERLINE_COMPONENTTYPE_SRC_*); Index -1 = the
    // selected line; 0 when it cannot be read.
    int32_t MixerLineType(int32_t Index);
    // The selected line's volume, raw 0 .. 65535 (first channel); 0 when unreadable.
    int32_t MixerLineVolume();
    // Writes Volume (clamped to 0 .. 65535) to every channel of the selected line. Writing
    // back the value last read (or written) writes nothing, so showing the volume on a
    // slider never changes the user's volume, its balance or a volume above 100 %; only a
    // real change writes.
    void MixerLineVolume(int32_t Volume);

    // ---- the notification window and its hook ----
    void CreateNotifyWindow();
    void AttachHook(winmsg::HWND lng_hWnd);
    void DetachHook();
    void DestroyNotifyWindow();
    winmsg::HWND NotifyWindow() const { return notifyWindow_; }
    MessageHook& Hook() { return hook_; }

    // The recorder's own hook callback (ordinal 1).
    SubclassProc SubclassCallback(int32_t nOrdinal) override;

    // ---- diagnostics ----
    // Bytes of audio captured into the buffers since StartRecord, the buffer in progress
    // included (0 when not recording): what StopRecord would deliver in all.
    uint64_t CapturedBytes() const;
    // Audio the backend had to drop during this recording (0 when not recording).
    uint32_t Overruns() const;
    // From now on the backend hands over about `ms` of audio at a time (nothing when not
    // recording); the buffers keep their size.
    void CaptureFragment(int ms);
    // Steady-clock time (ns) at which the buffer now being delivered was filled; valid
    // inside GotData.
    int64_t DeliveredBufferTime() const { return deliveredTime_; }

private:
    void zSubclass_Proc(bool bBefore, bool& bHandled, winmsg::LRESULT& lReturn, winmsg::HWND lng_hWnd,
                        winmsg::UINT uMsg, winmsg::WPARAM wParam, winmsg::LPARAM lParam, int32_t& lParamUser);
    void OnBufferReturned(winmsg::LPARAM lParam);
    void Deliver(size_t k, uint32_t bytes);
    // Delivers the filled buffers in order and queues them again; how many there were.
    size_t DeliverFilled();
    // Rounds of the ring a stop goes through at most for what the device held back.
    static constexpr int kMaxStopRounds = 4096;
    void CloseAfterFailure(int32_t preparedCount);
    int32_t RecordingDestination();
    bool MultiplexerControls(std::vector<audio::MIXERCONTROL>& muxes);
    uint32_t VolumeControlId(uint32_t& channels);

    // Hook state comes first: it must outlive nothing below.
    MessageHook hook_;
    winmsg::HWND hookedWindow_ = 0;

    int32_t selectedDevice_ = -1;
    int32_t bufferSize_ = 10240;
    int32_t bufferCount_ = 5;
    // The capture buffers: header k describes samples_[k].
    std::vector<audio::WAVEHDR> headers_;
    std::vector<std::vector<int16_t>> samples_;
    // queued_[k]: buffer k is on the device and not yet delivered back. The ring is queued
    // in index order and every buffer goes back to the end of the queue, so the device
    // returns them cyclically from next_.
    std::vector<uint8_t> queued_;
    size_t next_ = 0;
    uint32_t frameBytes_ = 4;
    bool delivering_ = false;  // inside GotData
    bool stopping_ = false;    // inside StopRecord
    bool stopAsked_ = false;   // a handler called StopRecord while the stop delivered
    winmsg::HWND notifyWindow_ = 0;
    audio::HWAVEIN waveIn_ = 0;
    audio::HMIXER mixer_ = 0;
    int64_t deliveredTime_ = 0;
    int32_t lineVolume_ = -1;  // the selected line's volume as last read or written; -1 unknown
};

}  // namespace tavrino
