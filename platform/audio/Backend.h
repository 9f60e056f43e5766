// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The capture backends behind the wave-input layer and the mixer, and how one is chosen.
//
// Choice: the first use of the layer takes the backend named by the environment variable
// TAVRINO_AUDIO:
//   unset, empty or "pulse"   the PulseAudio backend (the user's sound server; PipeWire
//                             serves it too);
//   "pulse:SERVER"            the PulseAudio backend on the given server string;
//   "test" or "test:DEVICES"     the deterministic test source (see TestBackend.h for DEVICES).
// An unknown value falls back to PulseAudio and says so on stderr (the program refuses such
// a value first: BackendChoiceError). Tests and the program
// can override the choice at any time with SetBackend; devices already open keep the
// backend they were opened on.
//
// Writing a backend: a backend lists devices, opens capture streams and mixers. It pushes
// captured audio into the StreamSink it was given, from any thread of its own, and must
// stop doing so before its CaptureStream is destroyed.
//
// Waiting: no call waits on a sound server longer than kServerWaitLimitMs; a server that
// does not answer in that time makes the call fail, or answer from what the backend
// listed before, and later calls do so at once until the server answers again. A server
// that stops answering while a stream is open is reported to the sink as a lost device
// (PulseAudio: a ping left unanswered for 3 s).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/audio/WaveIn.h"

namespace tavrino::audio {

// The longest a call from the UI thread waits for one answer of a sound server.
inline constexpr int kServerWaitLimitMs = 500;  // [ms]

// The wave-input layer's side of an open device, handed to the backend's stream.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    // Copies audio (whole frames of 16-bit interleaved PCM) into the queued buffers in
    // order, returning each buffer that becomes full. Returns the number of bytes taken:
    // fewer than `bytes` when no buffer is left queued; the backend keeps the rest and
    // offers it again after BufferQueued. Any thread; never blocks on I/O; never allocates.
    virtual size_t Write(const uint8_t* data, size_t bytes) = 0;
    // The device went away: returns the partly filled buffer and posts MM_WIM_DEVICELOST.
    // Any thread; later calls are ignored.
    virtual void Lost() = 0;
};

// An open capture stream of a backend. Every call comes from the UI thread. Start and Stop
// may wait for the server (see above). After Stop the stream produces nothing new; what it
// captured before the pause and still holds it writes to the sink as far as the queued
// buffers go, and the rest after each BufferQueued, until Reset. A server that did not
// acknowledge the pause in time: the stream closes on this side alone and writes nothing
// more.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;  // closes; no Write after it returns
    virtual MMRESULT Start() = 0;         // begin delivering audio to the sink
    virtual MMRESULT Stop() = 0;          // pause; audio from before it is still handed over
    virtual void Reset() = 0;             // pause and discard whatever is held back
    // A buffer was queued (no lock of the layer is held): the stream may now offer the
    // audio it held back, or, for a paced-by-queue source, produce more.
    virtual void BufferQueued() = 0;
    virtual uint32_t Overruns() const = 0;
    // From now on, hand over about `ms` of audio at a time (CaptureFragmentMs, below). The
    // server may take a while to follow; nothing held is lost.
    virtual void Fragment(int ms) = 0;
};

// One input line of a device's mixer.
struct LineInfo {
    std::string name;
    uint32_t componentType = 0x1000;  // MIXERLINE_COMPONENTTYPE_SRC_*
    uint32_t channels = 2;
};

// The mixer of one device. Every call comes from the UI thread. False / -1 when the
// device is gone or the server does not answer. Reads answer from what the backend keeps
// of the device (PulseAudio: refreshed on the server's change events), without a round
// trip; SetVolume sends the change without waiting for it; SelectLine may wait.
class DeviceMixer {
public:
    virtual ~DeviceMixer() = default;
    virtual std::string Name() = 0;
    virtual bool Lines(std::vector<LineInfo>& lines) = 0;
    virtual int32_t ActiveLine() = 0;
    virtual bool SelectLine(int32_t line) = 0;
    // Raw values 0 .. 65535, one per channel of the line (at most `values.size()`).
    virtual bool GetVolume(int32_t line, std::span<uint32_t> values) = 0;
    virtual bool SetVolume(int32_t line, std::span<const uint32_t> values) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string Name() const = 0;  // "pulse" or "test"
    // May be called from any thread. Lists the devices again (PulseAudio: one round trip);
    // a server that does not answer leaves the previous list.
    virtual int32_t DeviceCount() = 0;
    // Empty for an index out of range.
    virtual std::string DeviceName(int32_t index) = 0;
    // Opens device `index` (WAVE_MAPPER = the default source) for 16-bit PCM. The stream
    // starts paused. MMSYSERR_BADDEVICEID, WAVERR_BADFORMAT or MMSYSERR_NODRIVER on failure.
    virtual MMRESULT Open(int32_t index, int32_t rate, int16_t channels, StreamSink& sink,
                          std::unique_ptr<CaptureStream>& stream) = 0;
    // Null when the device does not exist.
    virtual std::unique_ptr<DeviceMixer> OpenMixer(int32_t index) = 0;
    // The number of the device that WAVE_MAPPER opens (the default source), or -1 when it
    // is not among the listed devices. May be called from any thread.
    virtual int32_t DefaultDevice() { return DeviceCount() > 0 ? 0 : -1; }
    // The device's own name, as the server knows it (a source name such as
    // "alsa_input.usb-…" or "….monitor"), beside the description that DeviceName gives;
    // empty for an index out of range. May be called from any thread.
    virtual std::string DeviceId(int32_t /*index*/) { return {}; }
    // Why the backend's sound server cannot be reached ("" when it can, or the backend needs
    // none); the server's own words, e.g. "Connection refused". Connects if no connection
    // is up (within the wait limit).
    virtual std::string ServerError() { return {}; }
};

// The backend in use (chosen from TAVRINO_AUDIO on first use).
std::shared_ptr<Backend> CurrentBackend();
// Installs a backend for every later call; null: choose again from TAVRINO_AUDIO.
void SetBackend(std::shared_ptr<Backend> backend);
// Builds the backend named by a TAVRINO_AUDIO value (see above).
std::shared_ptr<Backend> MakeBackend(const std::string& choice);
// Why MakeBackend cannot build what a TAVRINO_AUDIO value names, in Chinese: a name that is
// not a backend's, or test devices that do not parse. "" when it can.
std::string BackendChoiceError(const std::string& choice);
// The current backend's ServerError(): say "无法连接到声音服务器: " + this rather than "no
// capture device" when it is not empty.
std::string ConnectionError();
// A PulseAudio backend on the given server ("" = the default server, as libpulse finds it).
std::shared_ptr<Backend> MakePulseBackend(const std::string& server = std::string());

// How much audio a capture stream gathers before it hands it over, for streams opened
// from now on, in ms: kDisplayFragmentMs by default, which a display that shows every
// buffer needs; a recording that nothing displays may ask for more, so that the process
// wakes less often. The capture buffers keep their size; the backend may round the value.
// Any thread.
inline constexpr int kDisplayFragmentMs = 50;
void CaptureFragmentMs(int ms);
int CaptureFragmentMs();
// The fragment for a display that shows every capture buffer of `bytes` (16-bit samples
// at `rate` and `channels`): the audio one buffer holds, in whole ms, so that a buffer
// comes in one piece, but 1 .. kLongestDisplayFragmentMs: a longer piece keeps audio in
// the server, out of the program's reach, for longer.
// kDisplayFragmentMs for a rate or channel count below 1.
inline constexpr int kLongestDisplayFragmentMs = 100;
int CaptureBufferMs(int64_t bytes, int32_t rate, int32_t channels);
// The fragment when nothing displays the buffers: two thirds of what the capture ring of
// `ringBytes` holds, so that it holds a piece with room to spare, at most
// kLongestFragmentMs (at 44.1 kHz stereo the five buffers of 10240 bytes hold 290 ms).
inline constexpr int kLongestFragmentMs = 200;
int CaptureRingFragmentMs(int64_t ringBytes, int32_t rate, int32_t channels);

// The line volume's raw scale against the sound server's: raw 0 .. 65535 maps
// monotonically onto 0 .. PA_VOLUME_NORM (65536, 100 %), raw 65535 being exactly 100 %.
// RawFromServerVolume(ServerVolumeFromRaw(r)) == r for every raw r, so a value read and
// written back gives the same server volume; a server volume above 100 % reads as 65535.
uint32_t ServerVolumeFromRaw(uint32_t raw);
uint32_t RawFromServerVolume(uint32_t volume);

// The component type a line's name suggests ("mic" -> microphone, "line" -> line-in, ...).
uint32_t ComponentTypeForName(const std::string& name);

}  // namespace tavrino::audio
