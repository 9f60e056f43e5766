// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The wave-input device layer, with the contract of the platform's waveIn functions.
//
//   waveInOpen      opens a device for 16-bit PCM at a rate and channel count; its
//                   notifications go to a window of platform/winmsg (CALLBACK_WINDOW);
//   waveInPrepareHeader / waveInUnprepareHeader  mark a caller-owned buffer usable;
//   waveInAddBuffer queues a prepared buffer; the device fills queued buffers strictly in
//                   queue order;
//   waveInStart / waveInStop  start and pause capture (Stop returns the partly filled
//                   buffer, if it holds anything, and keeps the empty ones queued; audio
//                   captured before the pause that the backend still holds goes on into
//                   the queued buffers, and into buffers queued later, until Reset);
//   waveInReset     pauses, discards what the device holds, and returns every queued buffer;
//   waveInClose     closes the device (refused while buffers are queued).
//
// A returned buffer has WHDR_DONE set, WHDR_INQUEUE cleared and dwBytesRecorded bytes of
// audio; then MM_WIM_DATA (0x3C0) is posted to the notification window with wParam = the
// device handle and lParam = the address of the header. A buffer returned while capture
// runs is always full (dwBytesRecorded == dwBufferLength); only Stop, Reset and a lost
// device return shorter ones. While no buffer is queued, audio waits in the backend (the
// PulseAudio stream) rather than being dropped; what the backend had to drop anyway is
// counted (waveInGetOverruns).
//
// Device lost: when the device disappears or the sound server goes away while the device
// is open, the partly filled buffer (if it holds anything) is returned as above and then
// MM_WIM_DEVICELOST is posted to the same window (wParam = device handle). After that,
// waveInAddBuffer and waveInStart fail with MMSYSERR_NODRIVER; Stop, Reset, Unprepare and
// Close still work, so the usual stop sequence tears the device down.
//
// Threads: every function is to be called from the thread that owns the notification
// window (the UI thread), except waveInGetNumDevs / waveInGetDevCaps which may be called
// anywhere. The backend fills buffers on its own thread; a call here may wait briefly for
// that thread's lock, and no lock is held while the window procedure runs. waveInOpen,
// waveInStart, waveInStop and waveInGetNumDevs may wait for the sound server's answer, at
// most kServerWaitLimitMs (Backend.h) each and not at all while it is known not to
// answer; waveInStop then stops on this side alone, so the caller can close at once. A
// server that stops answering during a recording is reported as a lost device.
// Headers and their data must stay valid and unmoved from prepare to unprepare.
//
// The backend (PulseAudio, or the test source) is chosen by platform/audio/Backend.h.

#include <cstdint>
#include <string>

#include "core/WaveFormat.h"
#include "platform/MmResult.h"
#include "platform/winmsg/Window.h"

namespace tavrino::audio {

using HWAVEIN = std::uintptr_t;

// Results: MMSYSERR_* (platform/MmResult.h) and these.
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Device number of the "wave mapper": the system's default capture source.
inline constexpr int32_t WAVE_MAPPER = -1;

inline constexpr uint32_t CALLBACK_NULL = 0x00000;
inline constexpr uint32_t CALLBACK_WINDOW = 0x10000;

inline constexpr winmsg::UINT MM_WIM_OPEN = 0x3BE;
inline constexpr winmsg::UINT MM_WIM_CLOSE = 0x3BF;
inline constexpr winmsg::UINT MM_WIM_DATA = 0x3C0;
// Not a message of the original platform: the device went away while open.
inline constexpr winmsg::UINT MM_WIM_DEVICELOST = winmsg::WM_APP + 0x3C0;

inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

// The wave header. The caller sets lpData, dwBufferLength and dwUser; the layer owns the
// other fields from prepare to unprepare. `reserved` receives the steady-clock time (in
// nanoseconds since the clock's epoch) at which the buffer was returned, for latency figures.
struct WAVEHDR {
    uint8_t* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    std::uintptr_t dwUser = 0;
    uint32_t dwFlags = 0;
    uint32_t dwLoops = 0;
    WAVEHDR* lpNext = nullptr;
    int64_t reserved = 0;
};

struct WAVEINCAPS {
    std::string szPname;   // product name: the source's description, UTF-8, not cut
    uint16_t wChannels = 0;
};

uint32_t waveInGetNumDevs();
// The device number that WAVE_MAPPER stands for (the default source), -1 if not listed.
int32_t waveInGetDefaultDevice();
// MMSYSERR_BADDEVICEID (caps left as they were) for an index out of range.
MMRESULT waveInGetDevCaps(int32_t uDeviceID, WAVEINCAPS& caps);

// Formats: PCM, 16 bits, 1 or 2 channels, 1000 .. 384000 samples per second, consistent
// block alignment; anything else is WAVERR_BADFORMAT. fdwOpen: CALLBACK_WINDOW (with a live
// window of the calling thread) or CALLBACK_NULL. *phwi is 0 on failure.
MMRESULT waveInOpen(HWAVEIN* phwi, int32_t uDeviceID, const WaveFormat& format, winmsg::HWND dwCallback,
                    std::uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT waveInClose(HWAVEIN hwi);
// cbwh must be sizeof(WAVEHDR).
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, uint32_t cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, uint32_t cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, uint32_t cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);

// The bytes of audio the device has put into buffers since it was opened (the platform's
// position in TIME_BYTES), the partly filled buffer included. MMSYSERR_INVALHANDLE for an
// invalid handle.
MMRESULT waveInGetPosition(HWAVEIN hwi, uint64_t& bytes);

// Not of the original platform: how many times the backend had to drop audio because
// nothing read it in time (server-side overruns) since the device was opened. 0 for an
// invalid handle.
uint32_t waveInGetOverruns(HWAVEIN hwi);

// Not of the original platform: from now on the backend hands over about `ms` of audio at
// a time (CaptureStream::Fragment); the buffers keep their size. MMSYSERR_INVALHANDLE for
// an invalid handle.
MMRESULT waveInSetFragment(HWAVEIN hwi, int ms);

}  // namespace tavrino::audio
