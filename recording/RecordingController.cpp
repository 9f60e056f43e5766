// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/RecordingController.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "core/SystemError.h"
#include "platform/Log.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"

namespace tavrino {

namespace {

// The watch of a recording with a set length or a no-data timeout wakes every kWatchMs,
// and every kLimitCheckMs once the set length is due (ms).
constexpr int kWatchMs = 500;
constexpr int kLimitCheckMs = 20;

const QString kWriteErrorText = QStringLiteral("Write error (no disk space left?)!");

// Why the encoder did not take a piece of audio, for the user.
QString EncoderResultText(int32_t result) {
    switch (result) {
        case EncBufferTooLarge: return QStringLiteral("一段音频超过了编码器一次能接受的长度");
        case EncConvertFailed: return QStringLiteral("格式转换失败");
        case EncFileError: return QStringLiteral("输出文件没有打开");
        default: return QStringLiteral("编码器返回 %1").arg(result);
    }
}

int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

RecordingController::RecordingController(const QString& appFolder, RecordingListener* listener)
    : naming_(appFolder), listener_(listener) {
    clsRecorder = std::make_unique<WaveInRecorder>();
    // Capture calls back from inside its own code: the depth tells Unload to wait.
    clsRecorder->GotData = [this](std::span<int16_t> buffer, int32_t& len) {
        ++callbackDepth_;
        GotData(buffer, len);
        LeaveCallback();
    };
    clsRecorder->DeviceLost = [this] {
        ++callbackDepth_;
        DeviceLost();
        LeaveCallback();
    };
    clsEncoder = std::make_unique<EncoderWAV>();
    clsEffects = std::make_unique<clsDSP>();
    intLastBuffer.assign(1024, 0);
}

RecordingController::~RecordingController() {
    Unload();
    ReleaseDevices();
}

std::optional<int32_t> RecordingController::ParseSampleRate(const QString& text) {
    bool ok = false;
    const int rate = text.trimmed().toInt(&ok, 10);
    if (!ok || rate < kMinSampleRate || rate > kMaxSampleRate) return std::nullopt;
    return rate;
}

QString RecordingController::BadSampleRateText() {
    return QStringLiteral("取样率无效: 请输入 %1 到 %2 之间的整数。").arg(kMinSampleRate).arg(kMaxSampleRate);
}

bool RecordingController::IsRecording() const { return clsRecorder && clsRecorder->IsRecording(); }

uint64_t RecordingController::FileSize() const {
    return IsRecording() && clsEncoder ? clsEncoder->FileSize() : 0;
}

uint32_t RecordingController::Overruns() const {
    return IsRecording() ? clsRecorder->Overruns() : lastOverruns_;
}

void RecordingController::Tell(const QString& text, Caption caption) {
    if (!fatal_ && listener_) listener_->Message(text, caption);
}

void RecordingController::TellFatal(const QString& text) {
    if (fatal_) return;
    fatal_ = true;
    if (listener_) listener_->Fatal(text);
}

// ---------------------------------------------------------------------------------------
// Load and unload

void RecordingController::Load() {
    if (!numbered_) return;
    for (const QString& path : naming_.CompleteUnfinished()) {
        LogNotice(QStringLiteral("补全了一个未完成的录音的文件头: %1").arg(path).toStdString());
    }
    CounterLock lock(naming_.CounterFilePath());
    const int16_t read = naming_.ReadCounter();
    try {
        intFileCounter = naming_.ClaimFree(read, claim_);
    } catch (const Error& e) {
        if (e.number() != kErrNoFreeNumber) throw;
        intFileCounter = read;
        Tell(QString::fromStdString(e.text()), Caption::AppTitle);
        if (listener_) listener_->OutputChanged(QString());
        return;
    }
    if (intFileCounter != read) naming_.SaveCounter(intFileCounter);
    if (listener_) listener_->OutputChanged(naming_.OutputFileName(intFileCounter));
}

void RecordingController::Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    if (IsRecording()) Stop();
    claim_.Release();
    // Capture must not vanish under its own callback: release once it has returned.
    if (callbackDepth_ > 0) {
        releasePending_ = true;
    } else {
        ReleaseDevices();
    }
}

void RecordingController::LeaveCallback() {
    // Still inside capture's own code: the release runs from the event loop, once the
    // notification that brought this buffer has been dispatched.
    if (--callbackDepth_ == 0 && releasePending_) {
        QTimer::singleShot(0, &context_, [this] { ReleaseDevices(); });
    }
}

void RecordingController::ReleaseDevices() {
    clsRecorder.reset();
    clsEncoder.reset();
    releasePending_ = false;
}

// ---------------------------------------------------------------------------------------
// Start and stop

void RecordingController::SaveCounterOrTell() {
    if (!numbered_) return;
    try {
        CounterLock lock(naming_.CounterFilePath());
        naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        Tell(QString::fromStdString(e.text()), Caption::AppTitle);
    }
}

bool RecordingController::Start(const StartSettings& settings) {
    if (!clsRecorder || IsRecording() || unloaded_) return false;
    if (settings.output.isEmpty()) {
        Tell(QStringLiteral("没有指定输出文件!"), Caption::Notice);
        return false;
    }
    if (settings.device == -1) {
        Tell(QStringLiteral("没有选择硬件设备!"), Caption::Notice);
        return false;
    }
    const std::optional<int32_t> rate = ParseSampleRate(settings.rate);
    if (!rate) {
        Tell(BadSampleRateText(), Caption::Notice);
        return false;
    }

    QString output = settings.output;
    bool existed = true;  // a chosen output the start makes is removed again if it fails
    if (numbered_ && output == naming_.OutputFileName(intFileCounter)) {
        // The numbered file: still ours and still empty, or the next free number.
        if (!claim_.Held() || claim_.Path() != output || claim_.Size() != 0) {
            try {
                CounterLock lock(naming_.CounterFilePath());
                intFileCounter = naming_.ClaimFree(intFileCounter, claim_);
            } catch (const Error& e) {
                Tell(QString::fromStdString(e.text()), Caption::AppTitle);
                return false;
            }
            output = naming_.OutputFileName(intFileCounter);
            if (listener_) listener_->OutputChanged(output);
        }
    } else if (output != QLatin1String(EncoderWAV::kStandardOutput)) {
        // A file the user chose: not the counter file or the program, not while another
        // recorder writes it. A path that cannot be opened at all is left to the encoder,
        // which says so.
        const QString refused = naming_.RefusedOutput(output);
        if (!refused.isEmpty()) {
            Tell(refused, Caption::Notice);
            return false;
        }
        existed = QFileInfo::exists(output);
        try {
            // Only a plain file is claimed: a device or a pipe is nobody's recording.
            if ((!existed || QFileInfo(output).isFile()) && !FileClaim::Try(output, chosen_)) {
                Tell(QStringLiteral("另一个录音程序正在写这个文件: %1").arg(output), Caption::Notice);
                return false;
            }
        } catch (const Error&) {
        }
    }

    const int16_t channels = settings.channels;
    lngBytesPerSec = *rate * (channels * 2);
    if (clsEncoder->Encoder_EncoderInit(*rate, channels, output.toStdString()) != EncOK) {
        lngBytesPerSec = 0;
        chosen_.Release();
        if (!existed) QFile::remove(output);
        // The system's reason, when it is the file, so that the user can act on it.
        QString text = QStringLiteral("无法初始化编码器!");
        if (clsEncoder->LastFileError() != 0) {
            text += QStringLiteral(" (%1: %2)").arg(
                output, QString::fromStdString(SystemErrorText(clsEncoder->LastFileError())));
        }
        Tell(text, Caption::Notice);
        return false;
    }
    clsEffects->samplerate(*rate);
    clsEffects->Channels(channels);
    rate_ = *rate;
    channels_ = channels;
    // Every count and flag of a recording starts afresh.
    frames_ = 0;
    fileFrames_ = 0;
    lngElapsedMs = 0;
    seamPending_ = false;
    paused_ = false;
    pausedOnce_ = false;
    clippedBuffers_ = 0;
    lastClipNs_[0] = lastClipNs_[1] = 0;
    lastOverruns_ = 0;
    encodeFailures_ = 0;
    encodeFailureText_.clear();
    encodeFailureTold_ = false;
    writeErrorTold_ = false;
    writeError_ = 0;
    failedAtStop_.clear();
    writeFailedAtStop_ = false;
    fileFrameLimit_ = 0;
    if (maxFileFrames_ > 0) {
        // Files end on a whole seam of the conversion, so that none is padded.
        const int64_t seamFrames = std::max<int64_t>(1, clsEncoder->Encoder_SeamBlock() / (channels * 2));
        fileFrameLimit_ = std::max(seamFrames, maxFileFrames_ / seamFrames * seamFrames);
    }
    lastDataNs_ = SteadyNowNs();
    if (!clsRecorder->StartRecord(*rate, channels)) {
        // Nothing records into it: close the encoder at once rather than at the next start,
        // and leave the file as the start found it, so that its number stays free.
        clsEncoder->Encoder_EncoderClose();
        if (output == QLatin1String(EncoderWAV::kStandardOutput)) {
            // standard output: nothing of ours to put back
        } else if (existed) {
            QFile::resize(output, 0);
        } else {
            QFile::remove(output);
        }
        lngBytesPerSec = 0;
        chosen_.Release();
        Tell(QStringLiteral("不能启动录音功能!"), Caption::Notice);
        return false;
    }
    output_ = output;
    chosenOutput_ = output == naming_.OutputFileName(intFileCounter) && numbered_ ? QString() : output;
    if (noDataMs_ > 0 || frameLimit_ > 0) {
        if (!watch_) {
            watch_ = new QTimer(&context_);
            watch_->setSingleShot(true);
            QObject::connect(watch_, &QTimer::timeout, &context_, [this] { CheckData(); });
        }
        ScheduleCheck();
    }
    if (listener_) listener_->RecordingStarted();
    SaveCounterOrTell();
    return true;
}

void RecordingController::Stop(StopCause cause) {
    if (!IsRecording()) return;
    if (watch_) watch_->stop();
    // Buffers captured before the stop still arrive here (GotData) while it runs.
    stopping_ = true;
    lastOverruns_ = clsRecorder->Overruns();
    if (!clsRecorder->StopRecord()) Tell(QStringLiteral("此时无法停止录音!"), Caption::Notice);
    stopping_ = false;
    const bool fileOpen = clsEncoder->IsOpen();  // not when the next part could not be opened
    const int32_t closed = clsEncoder->Encoder_EncoderClose();
    if (fileOpen && closed == EncWriteFailed) {
        NoteWriteFailure();
        writeFailedAtStop_ = true;
    } else if (fileOpen && closed != EncOK) {
        NoteEncodeFailure(closed);
    }
    chosen_.Release();
    lngElapsedMs = 0;
    lngBytesPerSec = 0;
    seamPending_ = false;
    const bool wasPaused = paused_;
    paused_ = false;
    if (listener_) {
        if (wasPaused) listener_->PauseChanged(false);
        listener_->RecordingStopped(cause);
        if (fileOpen) listener_->FileFinished(output_);
    }
    if (numbered_) Advance();
    if (std::exchange(writeFailedAtStop_, false)) TellWriteError();
    if (!failedAtStop_.isEmpty()) Tell(std::exchange(failedAtStop_, QString()), Caption::AppTitle);
    TellEncodeFailure();
}

void RecordingController::StopAfterFailure(const QString& text) {
    if (stopping_) {
        // Among the last buffers the stop hands over: no more of them; the stop under way
        // finishes the file and tells once it is done.
        if (text.isEmpty()) {
            writeFailedAtStop_ = true;
        } else {
            failedAtStop_ = text;
        }
        clsRecorder->StopRecord();
        return;
    }
    Stop(StopCause::WriteFailed);
    if (text.isEmpty()) {
        TellWriteError();
    } else {
        Tell(text, Caption::AppTitle);
    }
}

void RecordingController::NoteWriteFailure(int error) {
    if (writeError_ != 0 || writeErrorTold_) return;  // the first one is told
    writeError_ = error != 0 ? error : clsEncoder->LastWriteError() != 0 ? clsEncoder->LastWriteError() : EIO;
    writeErrorPath_ = output_;
}

void RecordingController::TellWriteError() {
    if (writeErrorTold_) return;
    writeErrorTold_ = true;
    if (!fatal_ && listener_) {
        listener_->WriteFailed(writeErrorPath_, QString::fromStdString(SystemErrorText(writeError_ != 0 ? writeError_ : EIO)));
    }
    Tell(kWriteErrorText, Caption::AppTitle);
}

void RecordingController::NoteEncodeFailure(int32_t result) {
    if (encodeFailures_++ > 0) return;
    encodeFailureText_ = QStringLiteral("编码失败，部分录音数据未能写入: %1").arg(EncoderResultText(result));
    // Not from inside capture's callback: a message box there would run the event loop.
    QTimer::singleShot(0, &context_, [this] { TellEncodeFailure(); });
}

void RecordingController::TellEncodeFailure() {
    if (encodeFailureText_.isEmpty() || encodeFailureTold_) return;
    encodeFailureTold_ = true;
    Tell(encodeFailureText_, Caption::AppTitle);
}

void RecordingController::FollowOutputType() {
    if (!clsEncoder || unloaded_) return;
    const QString extension = QString::fromStdString(clsEncoder->Encoder_Extension());
    if (extension == naming_.Extension()) return;
    const QString before = naming_.OutputFileName(intFileCounter);
    naming_.Extension(extension);
    // The recording keeps its type, the next one takes the new; a run that records only to
    // a chosen file leaves the numbered files alone.
    if (IsRecording() || !numbered_) return;
    const QString after = naming_.OutputFileName(intFileCounter);
    if (claim_.Held() && claim_.Path() == before && claim_.Size() == 0 && claim_.Rename(after)) {
        if (listener_) listener_->OutputChanged(after);
        return;
    }
    try {
        CounterLock lock(naming_.CounterFilePath());
        const int16_t was = intFileCounter;
        intFileCounter = naming_.ClaimFree(intFileCounter, claim_);
        if (intFileCounter != was) naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        Tell(QString::fromStdString(e.text()), Caption::AppTitle);
        return;
    }
    if (QFileInfo(before).size() == 0) QFile::remove(before);  // the placeholder of the old type
    if (listener_) listener_->OutputChanged(naming_.OutputFileName(intFileCounter));
}

void RecordingController::Pause() {
    if (!IsRecording() || paused_) return;
    paused_ = true;
    pausedOnce_ = true;
    clsEncoder->Encoder_UpdateSizes();  // the file as it stands is a whole recording
    if (listener_) listener_->PauseChanged(true);
}

void RecordingController::Resume() {
    if (!IsRecording() || !paused_) return;
    paused_ = false;
    if (listener_) listener_->PauseChanged(false);
}

bool RecordingController::ContinueInNextFile() {
    seamPending_ = false;
    const int32_t closed = clsEncoder->Encoder_EncoderClose();
    if (listener_) listener_->FileFinished(output_);
    if (closed == EncWriteFailed) {
        NoteWriteFailure();
        StopAfterFailure(QString());
        return false;
    }
    if (closed != EncOK) NoteEncodeFailure(closed);
    chosen_.Release();
    try {
        if (numbered_) {
            ClaimNextNumber();
            output_ = naming_.OutputFileName(intFileCounter);
        } else {
            output_ = OutputNaming::ClaimPart(chosenOutput_, chosen_);
        }
    } catch (const Error& e) {
        StopAfterFailure(QString::fromStdString(e.text()));
        return false;
    }
    if (clsEncoder->Encoder_EncoderInit(rate_, channels_, output_.toStdString()) != EncOK) {
        StopAfterFailure(QStringLiteral("无法初始化编码器! (%1)").arg(output_));
        return false;
    }
    fileFrames_ = 0;
    if (listener_) listener_->OutputChanged(output_);
    return true;
}

void RecordingController::ClaimNextNumber() {
    CounterLock lock(naming_.CounterFilePath());
    intFileCounter = naming_.ClaimFree(OutputNaming::Next(intFileCounter), claim_);
    naming_.SaveCounter(intFileCounter);
}

void RecordingController::Advance() {
    const int16_t finished = intFileCounter;
    try {
        ClaimNextNumber();
        if (listener_) listener_->OutputChanged(naming_.OutputFileName(intFileCounter));
    } catch (const Error& e) {
        if (e.number() == kErrNoFreeNumber) {
            claim_.Release();
            if (listener_) listener_->OutputChanged(QString());
            Tell(QString::fromStdString(e.text()), Caption::AppTitle);
        } else if (e.number() == kErrLockTimeout) {
            // The next number, not claimed yet: the next start claims it (or the one after).
            claim_.Release();
            intFileCounter = OutputNaming::Next(finished);
            if (listener_) listener_->OutputChanged(naming_.OutputFileName(intFileCounter));
            Tell(QString::fromStdString(e.text()), Caption::AppTitle);
        } else {
            if (listener_) listener_->OutputChanged(naming_.OutputFileName(OutputNaming::Next(finished)));
            TellFatal(QString::fromStdString(e.text()));
        }
    }
}

void RecordingController::ScheduleCheck() {
    // One timer for both, waking seldom: a set length ends as soon as it is captured (not
    // when the buffer fills up), so the watch wakes when the last frame is due by the
    // frames captured so far, then often until it has arrived.
    int64_t ms = kWatchMs;
    if (noDataMs_ > 0) ms = std::min<int64_t>(ms, noDataMs_);
    if (frameLimit_ > 0 && !pausedOnce_) {
        const auto captured = static_cast<int64_t>(clsRecorder->CapturedBytes() / static_cast<uint64_t>(channels_ * 2));
        ms = std::clamp<int64_t>((frameLimit_ - captured) * 1000 / rate_, kLimitCheckMs, ms);
    }
    watch_->start(static_cast<int>(ms));
}

void RecordingController::CheckData() {
    if (!IsRecording()) return;
    // The set length is in the buffers: the stop hands it over (the partly filled buffer
    // too) and GotData cuts it at the limit.
    // (What a pause discarded is in the count too: after one, the full buffer ends it.)
    if (frameLimit_ > 0 && !pausedOnce_ &&
        static_cast<int64_t>(clsRecorder->CapturedBytes() / static_cast<uint64_t>(channels_ * 2)) >= frameLimit_) {
        Stop(StopCause::FrameLimit);
        return;
    }
    if (noDataMs_ <= 0 || SteadyNowNs() - lastDataNs_ < static_cast<int64_t>(noDataMs_) * 1000000) {
        ScheduleCheck();
        return;
    }
    Stop(StopCause::NoData);
    Tell(QStringLiteral("%1 秒内没有收到声音数据，录音已停止，文件已保存。").arg(noDataMs_ / 1000), Caption::AppTitle);
}

// ---------------------------------------------------------------------------------------
// The captured buffers

void RecordingController::GotData(std::span<int16_t> intBuffer, int32_t lngLen) {
    if (paused_ && IsRecording()) {
        lastDataNs_ = SteadyNowNs();  // discarded; the display rests on the last buffer kept
        return;
    }
    // The copy keeps the delivered bounds; it is reallocated only when they change.
    intLastBuffer.assign(intBuffer.begin(), intBuffer.end());
    clsEffects->ProcessSamples(intLastBuffer);
    if (!IsRecording()) return;
    lastDataNs_ = SteadyNowNs();
    // Never more bytes than the buffer holds, whatever the device reports; whole frames.
    const int32_t frameBytes = channels_ * 2;
    int32_t len = std::min<int32_t>(lngLen, static_cast<int32_t>(intLastBuffer.size() * sizeof(int16_t)));
    len -= len % frameBytes;
    bool limitReached = false;
    if (frameLimit_ > 0) {
        if (frames_ >= frameLimit_) return;  // the last buffers of a stop at the limit
        const int64_t room = frameLimit_ - frames_;
        if (len / frameBytes >= room) {
            len = static_cast<int32_t>(room) * frameBytes;
            limitReached = true;
        }
    }
    if (len == 0) return;
    NoteClipping(std::span<const int16_t>(intLastBuffer.data(), static_cast<size_t>(len / 2)));
    frames_ += len / frameBytes;
    lngElapsedMs = static_cast<int64_t>(
        RoundHalfEven(static_cast<double>(len) / lngBytesPerSec * 1000.0 + static_cast<double>(lngElapsedMs)));

    // Into the file, moving on to the next one where this one must end; at most one
    // second of input (all the encoder takes at once) per piece.
    const auto* bytes = reinterpret_cast<const uint8_t*>(intLastBuffer.data());
    int32_t at = 0;
    while (at < len) {
        if (seamPending_ && !ContinueInNextFile()) return;
        if (!clsEncoder->IsOpen()) return;
        int32_t chunk = std::min(len - at, clsEncoder->Encoder_EncoderMetrics(1));
        if (fileFrameLimit_ > 0) {
            const int64_t room = fileFrameLimit_ - fileFrames_;
            if (chunk / frameBytes >= room) {
                chunk = static_cast<int32_t>(room) * frameBytes;
                seamPending_ = true;
            }
        }
        chunk = RoomInFile(chunk);
        if (chunk == 0 && fileFrames_ == 0) {
            NoteWriteFailure(EFBIG);
            StopAfterFailure(QString());  // nothing fits at all
            return;
        }
        int32_t used = 0;
        const int32_t result = chunk > 0 ? clsEncoder->Encoder_Encode(bytes + at, chunk, used) : EncOK;
        if (result == EncWriteFailed) {
            NoteWriteFailure();
            StopAfterFailure(QString());
            return;
        }
        if (result != EncOK) NoteEncodeFailure(result);
        fileFrames_ += chunk / frameBytes;
        at += chunk;
    }
    if (limitReached && !stopping_) Stop(StopCause::FrameLimit);
}

int32_t RecordingController::RoomInFile(int32_t want) {
    // The file ends on a seam: it takes `want` bytes when they and the rest of the seam they
    // begin still fit under the size limit, else up to the last seam that fits.
    const int64_t seam = std::max<uint32_t>(1, clsEncoder->Encoder_SeamBlock());
    const auto given = static_cast<int64_t>(clsEncoder->Encoder_InputBytes());
    auto toSeam = [&](int64_t bytes) { return (seam - (given + bytes) % seam) % seam; };
    if (clsEncoder->Encoder_Fits(static_cast<int32_t>(want + toSeam(want)))) return want;
    const int64_t first = toSeam(0);  // fits: it was checked with the bytes before it
    if (first > want) return want;
    int64_t lo = 0;
    int64_t hi = (want - first) / seam;
    while (lo < hi) {
        const int64_t mid = (lo + hi + 1) / 2;
        if (clsEncoder->Encoder_Fits(static_cast<int32_t>(first + mid * seam))) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    seamPending_ = true;
    return static_cast<int32_t>(first + lo * seam);
}

void RecordingController::NoteClipping(std::span<const int16_t> samples) {
    // Full scale either way: a sample at 32767 or -32768. Most buffers have none: one pass
    // the compiler turns into vector compares says so before the channels are told apart.
    auto clipped = [](int16_t v) { return v == 32767 || v == -32768; };
    int any = 0;
    for (const int16_t v : samples) any |= static_cast<int>(v == 32767) | static_cast<int>(v == -32768);
    if (any == 0) return;
    bool left = false;
    bool right = false;
    if (channels_ == 2) {
        for (size_t i = 0; i + 1 < samples.size(); i += 2) {
            left |= clipped(samples[i]);
            right |= clipped(samples[i + 1]);
        }
    } else {
        for (int16_t v : samples) left |= clipped(v);
        right = left;
    }
    if (!left && !right) return;
    ++clippedBuffers_;
    const int64_t now = SteadyNowNs();
    if (left) lastClipNs_[0] = now;
    if (right) lastClipNs_[1] = now;
}

void RecordingController::DeviceLost() {
    if (!IsRecording() || stopping_) return;
    Stop(StopCause::DeviceLost);
    Tell(QStringLiteral("录音设备已断开，录音已停止，已录下的部分已保存。"), Caption::AppTitle);
}

}  // namespace tavrino
