#include "recording/RecordingController.h"

#include <QTimer>

#include <algorithm>
#include <chrono>

#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "core/SystemError.h"
#include "platform/Log.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"

namespace tavrino {

namespace {

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
    return QStringLiteral("取样率无效: 请输入 1 到 96000 之间的整数。");
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
    if (output == naming_.OutputFileName(intFileCounter)) {
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
    } else {
        // A file the user chose: not while another recorder writes it. A path that cannot
        // be opened at all is left to the encoder, which says so.
        try {
            if (!FileClaim::Try(output, chosen_)) {
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
    channels_ = channels;
    frames_ = 0;
    lastOverruns_ = 0;
    lastDataNs_ = SteadyNowNs();
    if (!clsRecorder->StartRecord(*rate, channels)) {
        // Nothing records into it: close the encoder at once rather than at the next start.
        clsEncoder->Encoder_EncoderClose();
        lngBytesPerSec = 0;
        chosen_.Release();
        Tell(QStringLiteral("不能启动录音功能!"), Caption::Notice);
        return false;
    }
    output_ = output;
    if (noDataMs_ > 0) {
        if (!watch_) {
            watch_ = new QTimer(&context_);
            QObject::connect(watch_, &QTimer::timeout, &context_, [this] { CheckData(); });
        }
        watch_->start(std::min<int32_t>(noDataMs_, 1000));
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
    clsEncoder->Encoder_EncoderClose();
    chosen_.Release();
    lngElapsedMs = 0;
    lngBytesPerSec = 0;
    if (listener_) {
        listener_->RecordingStopped(cause);
        listener_->FileFinished(output_);
    }
    Advance();
}

void RecordingController::Advance() {
    try {
        CounterLock lock(naming_.CounterFilePath());
        intFileCounter = naming_.ClaimFree(OutputNaming::Next(intFileCounter), claim_);
        if (listener_) listener_->OutputChanged(naming_.OutputFileName(intFileCounter));
        naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        if (e.number() == kErrNoFreeNumber) {
            claim_.Release();
            if (listener_) listener_->OutputChanged(QString());
            Tell(QString::fromStdString(e.text()), Caption::AppTitle);
        } else {
            if (listener_) listener_->OutputChanged(naming_.OutputFileName(OutputNaming::Next(intFileCounter)));
            TellFatal(QString::fromStdString(e.text()));
        }
    }
}

void RecordingController::CheckData() {
    if (!IsRecording() || noDataMs_ <= 0) return;
    if (SteadyNowNs() - lastDataNs_ < static_cast<int64_t>(noDataMs_) * 1000000) return;
    Stop(StopCause::NoData);
    Tell(QStringLiteral("%1 秒内没有收到声音数据，录音已停止，文件已保存。").arg(noDataMs_ / 1000), Caption::AppTitle);
}

// ---------------------------------------------------------------------------------------
// The captured buffers

void RecordingController::GotData(std::span<int16_t> intBuffer, int32_t lngLen) {
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
    frames_ += len / frameBytes;
    lngElapsedMs = static_cast<int32_t>(
        RoundHalfEven(static_cast<double>(len) / lngBytesPerSec * 1000.0 + lngElapsedMs));
    int32_t used = 0;
    if (clsEncoder->Encoder_Encode(intLastBuffer.data(), len, used) == EncWriteFailed) {
        if (stopping_) return;  // the stop under way finishes the file
        Stop(StopCause::WriteFailed);
        Tell(QStringLiteral("Write error (no disk space left?)!"), Caption::AppTitle);
        return;
    }
    if (limitReached && !stopping_) Stop(StopCause::FrameLimit);
}

void RecordingController::DeviceLost() {
    if (!IsRecording() || stopping_) return;
    Stop(StopCause::DeviceLost);
    Tell(QStringLiteral("录音设备已断开，录音已停止，已录下的部分已保存。"), Caption::AppTitle);
}

}  // namespace tavrino
