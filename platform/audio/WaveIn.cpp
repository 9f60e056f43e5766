// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/WaveIn.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/HandleTable.h"
#include "platform/audio/Backend.h"

namespace tavrino::audio {

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One open device: the queue of headers (linked through lpNext, so queueing never
// allocates) and the backend's stream that fills them.
class WaveInDevice final : public StreamSink {
public:
    WaveInDevice(HWAVEIN handle, winmsg::HWND window, std::shared_ptr<Backend> backend)
        : handle_(handle), window_(window), backend_(std::move(backend)) {}

    ~WaveInDevice() override { stream_.reset(); }

    std::unique_ptr<CaptureStream>& stream() { return stream_; }

    size_t Write(const uint8_t* data, size_t bytes) override {
        std::lock_guard lock(mutex_);
        if (!running_ || lost_) return bytes;  // paused or gone: not kept
        size_t taken = 0;
        while (taken < bytes && head_ != nullptr) {
            WAVEHDR* h = head_;
            const size_t room = h->dwBufferLength - h->dwBytesRecorded;
            const size_t n = std::min(room, bytes - taken);
            std::memcpy(h->lpData + h->dwBytesRecorded, data + taken, n);
            h->dwBytesRecorded += static_cast<uint32_t>(n);
            taken += n;
            position_ += n;
            if (h->dwBytesRecorded == h->dwBufferLength) ReturnHeadLocked();
        }
        return taken;
    }

    void Lost() override {
        std::lock_guard lock(mutex_);
        if (lost_) return;
        lost_ = true;
        if (head_ != nullptr && head_->dwBytesRecorded > 0) ReturnHeadLocked();
        if (window_ != 0) winmsg::PostMessage(window_, MM_WIM_DEVICELOST, handle_, 0);
    }

    MMRESULT Prepare(WAVEHDR* h) {
        std::lock_guard lock(mutex_);
        if (h->lpData == nullptr || h->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
        if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
        h->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Unprepare(WAVEHDR* h) {
        std::lock_guard lock(mutex_);
        if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
        h->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Add(WAVEHDR* h) {
        {
            std::lock_guard lock(mutex_);
            if (lost_) return MMSYSERR_NODRIVER;
            if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
            if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
            h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
            h->dwBytesRecorded = 0;
            h->lpNext = nullptr;
            if (tail_ != nullptr) tail_->lpNext = h; else head_ = h;
            tail_ = h;
        }
        stream_->BufferQueued();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Start() {
        {
            std::lock_guard lock(mutex_);
            if (lost_) return MMSYSERR_NODRIVER;
            running_ = true;
        }
        const MMRESULT r = stream_->Start();
        if (r != MMSYSERR_NOERROR) {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        return r;
    }

    MMRESULT Stop() {
        // The stream hands over what was captured before the pause, now and as buffers are
        // queued; it produces nothing new.
        stream_->Stop();
        std::lock_guard lock(mutex_);
        if (head_ != nullptr && head_->dwBytesRecorded > 0) ReturnHeadLocked();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Reset() {
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        stream_->Reset();
        std::lock_guard lock(mutex_);
        while (head_ != nullptr) ReturnHeadLocked();
        return MMSYSERR_NOERROR;
    }

    bool HasQueued() {
        std::lock_guard lock(mutex_);
        return head_ != nullptr;
    }

    uint32_t Overruns() const { return stream_ ? stream_->Overruns() : 0; }
    void Fragment(int ms) {
        if (stream_) stream_->Fragment(ms);
    }

    uint64_t Position() {
        std::lock_guard lock(mutex_);
        return position_;
    }

    void Notify(winmsg::UINT msg) {
        if (window_ != 0) winmsg::PostMessage(window_, msg, handle_, 0);
    }

private:
    void ReturnHeadLocked() {
        WAVEHDR* h = head_;
        head_ = h->lpNext;
        if (head_ == nullptr) tail_ = nullptr;
        h->lpNext = nullptr;
        h->reserved = NowNs();
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        if (window_ != 0) winmsg::PostMessage(window_, MM_WIM_DATA, handle_, reinterpret_cast<winmsg::LPARAM>(h));
    }

    const HWAVEIN handle_;
    const winmsg::HWND window_;
    const std::shared_ptr<Backend> backend_;  // outlives the stream
    std::unique_ptr<CaptureStream> stream_;

    std::mutex mutex_;  // guards everything below and the queued headers
    WAVEHDR* head_ = nullptr;
    WAVEHDR* tail_ = nullptr;
    bool running_ = false;
    bool lost_ = false;
    uint64_t position_ = 0;  // bytes put into buffers since the device was opened
};

HandleTable<HWAVEIN, std::shared_ptr<WaveInDevice>>& Devices() {
    static HandleTable<HWAVEIN, std::shared_ptr<WaveInDevice>> devices(0x5000);
    return devices;
}

std::shared_ptr<WaveInDevice> Find(HWAVEIN h) { return Devices().Find(h).value_or(nullptr); }

bool FormatSupported(const WaveFormat& f) {
    return f.IsWellFormed() && f.FormatTag() == WAVE_FORMAT_PCM && f.BitsPerSample() == 16 &&
           (f.Channels() == 1 || f.Channels() == 2) && f.SamplesPerSec() >= 1000 && f.SamplesPerSec() <= 384000 &&
           f.BlockAlign() == f.Channels() * 2;
}

}  // namespace

uint32_t waveInGetNumDevs() {
    const int32_t n = CurrentBackend()->DeviceCount();
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

int32_t waveInGetDefaultDevice() { return CurrentBackend()->DefaultDevice(); }

MMRESULT waveInGetDevCaps(int32_t uDeviceID, WAVEINCAPS& caps) {
    auto backend = CurrentBackend();
    if (uDeviceID != WAVE_MAPPER && (uDeviceID < 0 || uDeviceID >= backend->DeviceCount())) return MMSYSERR_BADDEVICEID;
    caps.szPname = uDeviceID == WAVE_MAPPER ? std::string() : backend->DeviceName(uDeviceID);
    caps.wChannels = 2;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInOpen(HWAVEIN* phwi, int32_t uDeviceID, const WaveFormat& format, winmsg::HWND dwCallback,
                    std::uintptr_t, uint32_t fdwOpen) {
    if (phwi == nullptr) return MMSYSERR_INVALPARAM;
    *phwi = 0;
    if (fdwOpen != CALLBACK_WINDOW && fdwOpen != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
    if (fdwOpen == CALLBACK_WINDOW) {
        uint32_t pid = 0;
        if (winmsg::GetWindowThreadProcessId(dwCallback, &pid) != winmsg::GetCurrentThreadId())
            return MMSYSERR_INVALPARAM;
    } else {
        dwCallback = 0;
    }
    if (!FormatSupported(format)) return WAVERR_BADFORMAT;
    auto backend = CurrentBackend();
    const HWAVEIN handle = Devices().Reserve();
    auto device = std::make_shared<WaveInDevice>(handle, dwCallback, backend);
    const MMRESULT r = backend->Open(uDeviceID, format.SamplesPerSec(), format.Channels(), *device, device->stream());
    if (r != MMSYSERR_NOERROR || !device->stream()) return r != MMSYSERR_NOERROR ? r : MMSYSERR_ERROR;
    Devices().Insert(handle, device);
    device->Notify(MM_WIM_OPEN);
    *phwi = handle;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN hwi) {
    std::shared_ptr<WaveInDevice> device = Find(hwi);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (device->HasQueued()) return WAVERR_STILLPLAYING;
    Devices().Remove(hwi);
    device->stream().reset();  // the backend stops writing before this returns
    device->Notify(MM_WIM_CLOSE);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, uint32_t cbwh) {
    auto device = Find(hwi);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh != sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    return device->Prepare(pwh);
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, uint32_t cbwh) {
    auto device = Find(hwi);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh != sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    return device->Unprepare(pwh);
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, uint32_t cbwh) {
    auto device = Find(hwi);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh != sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    return device->Add(pwh);
}

MMRESULT waveInStart(HWAVEIN hwi) {
    auto device = Find(hwi);
    return device ? device->Start() : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInStop(HWAVEIN hwi) {
    auto device = Find(hwi);
    return device ? device->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInReset(HWAVEIN hwi) {
    auto device = Find(hwi);
    return device ? device->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInGetPosition(HWAVEIN hwi, uint64_t& bytes) {
    auto device = Find(hwi);
    if (!device) return MMSYSERR_INVALHANDLE;
    bytes = device->Position();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInSetFragment(HWAVEIN hwi, int ms) {
    auto device = Find(hwi);
    if (!device) return MMSYSERR_INVALHANDLE;
    device->Fragment(std::max(ms, 1));
    return MMSYSERR_NOERROR;
}

uint32_t waveInGetOverruns(HWAVEIN hwi) {
    auto device = Find(hwi);
    return device ? device->Overruns() : 0;
}

}  // namespace tavrino::audio
