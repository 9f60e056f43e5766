#include "recording/RecordingController.h"

#include <QTimer>

#include <algorithm>

#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"

namespace tavrino {

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
    intFileCounter = naming_.ReadCounter();
    const QString name = naming_.OutputFileName(intFileCounter);
    OutputNaming::CreateIfMissing(name);
    if (listener_) listener_->OutputChanged(name);
}

void RecordingController::Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    if (IsRecording()) Stop();
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
        naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        Tell(QString::fromStdString(e.text()), Caption::AppTitle);
    }
}

bool RecordingController::Start(const StartSettings& settings) {
    if (!clsRecorder || IsRecording()) return false;
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
    const int16_t channels = settings.channels;
    lngBytesPerSec = *rate * (channels * 2);
    if (clsEncoder->Encoder_EncoderInit(*rate, channels, settings.output.toStdString()) != EncOK) {
        lngBytesPerSec = 0;
        Tell(QStringLiteral("无法初始化编码器!"), Caption::Notice);
        return false;
    }
    clsEffects->samplerate(*rate);
    clsEffects->Channels(channels);
    if (!clsRecorder->StartRecord(*rate, channels)) {
        // Nothing records into it: close the encoder at once rather than at the next start.
        clsEncoder->Encoder_EncoderClose();
        lngBytesPerSec = 0;
        Tell(QStringLiteral("不能启动录音功能!"), Caption::Notice);
        return false;
    }
    output_ = settings.output;
    if (listener_) listener_->RecordingChanged(true);
    SaveCounterOrTell();
    return true;
}

void RecordingController::Stop() {
    if (!IsRecording()) return;
    if (!clsRecorder->StopRecord()) Tell(QStringLiteral("此时无法停止录音!"), Caption::Notice);
    clsEncoder->Encoder_EncoderClose();
    lngElapsedMs = 0;
    lngBytesPerSec = 0;
    if (listener_) {
        listener_->RecordingChanged(false);
        listener_->FileFinished(output_);
    }
    intFileCounter = OutputNaming::Next(intFileCounter);
    const QString name = naming_.OutputFileName(intFileCounter);
    if (listener_) listener_->OutputChanged(name);
    try {
        OutputNaming::CreateIfMissing(name);
        naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        TellFatal(QString::fromStdString(e.text()));
    }
}

// ---------------------------------------------------------------------------------------
// The captured buffers

void RecordingController::GotData(std::span<int16_t> intBuffer, int32_t lngLen) {
    // The copy keeps the delivered bounds; it is reallocated only when they change.
    intLastBuffer.assign(intBuffer.begin(), intBuffer.end());
    clsEffects->ProcessSamples(intLastBuffer);
    if (!IsRecording()) return;
    lngElapsedMs = static_cast<int32_t>(
        RoundHalfEven(static_cast<double>(lngLen) / lngBytesPerSec * 1000.0 + lngElapsedMs));
    int32_t used = 0;
    // Never more bytes than the buffer holds, whatever the device reports.
    const auto len = std::min<int32_t>(lngLen, static_cast<int32_t>(intLastBuffer.size() * sizeof(int16_t)));
    if (clsEncoder->Encoder_Encode(intLastBuffer.data(), len, used) == EncWriteFailed) {
        Stop();
        Tell(QStringLiteral("Write error (no disk space left?)!"), Caption::AppTitle);
    }
}

void RecordingController::DeviceLost() {
    if (!IsRecording()) return;
    Stop();
    Tell(QStringLiteral("录音设备已断开，录音已停止，已录下的部分已保存。"), Caption::AppTitle);
}

}  // namespace tavrino
