// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/RecordCommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <utility>

#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "encoder/EncoderWAV.h"
#include "platform/acm/AcmFormats.h"
#include "platform/audio/Backend.h"
#include "recording/RecordingController.h"
#include "recording/SignalWatcher.h"

namespace tavrino {
namespace {

// A source that delivers nothing for this long ends the recording.
constexpr int32_t kNoDataMs = 10000;

// Prints what a window would show, each finished file's path, and how the run ended.
class ConsoleListener final : public RecordingListener {
public:
    void OutputChanged(const QString& path) override { output = path; }
    void FileFinished(const QString& path) override {
        if (path == QLatin1String(EncoderWAV::kStandardOutput)) return;  // the audio itself is there
        if (controller != nullptr && controller->FramesRecorded() == 0) return;  // nothing captured: no recording
        std::printf("%s\n", path.toLocal8Bit().constData());
        std::fflush(stdout);
    }
    void WriteFailed(const QString& path, const QString& reason) override { detail = path + QStringLiteral(": ") + reason; }
    void RecordingStopped(StopCause cause) override {
        // The set length reached, or a signal: done. Anything else is a failure.
        if (cause == StopCause::FrameLimit) QCoreApplication::exit(0);
        if (cause != StopCause::FrameLimit && cause != StopCause::Asked) QCoreApplication::exit(1);
    }
    void Message(const QString& text, Caption /*caption*/) override {
        Print(detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, std::exchange(detail, QString())));
    }
    void Fatal(const QString& text) override { Print(text); }

    // One line on stderr under the program's name; the message boxes' captions add nothing.
    void Print(const QString& text) {
        Say(text);
        ++messages;
    }
    static void Say(const QString& text) {
        std::fprintf(stderr, "tavrino: %s\n", text.toLocal8Bit().constData());
    }

    QString output;
    int messages = 0;
    const RecordingController* controller = nullptr;
    QString detail;  // the file and the system's reason of a write failure, for the message after it
};

// The device the request names (see RecordRequest::device), or -1 after saying why there
// is none.
int32_t ChosenDevice(WaveInRecorder& recorder, const QString& text) {
    audio::Backend& backend = *audio::CurrentBackend();
    const int32_t index = ChooseDevice(backend, text);
    if (index >= 0) return index;
    const int32_t count = recorder.DeviceCount();
    const std::string unreachable = count == 0 ? backend.ServerError() : std::string();
    if (!unreachable.empty()) {
        ConsoleListener::Say(QStringLiteral("无法连接到声音服务器: %1").arg(QString::fromStdString(unreachable)));
    } else if (text.isEmpty()) {
        ConsoleListener::Say(QStringLiteral("没有选择硬件设备! (没有录音设备)"));
    } else {
        ConsoleListener::Say(
            QStringLiteral("没有选择硬件设备! (没有名称或描述含有 \"%1\" 的录音设备; tavrino --list-devices 列出所有设备)")
                .arg(text));
    }
    return -1;
}

// The chosen output as an absolute path, "" for the numbered file; nothing after saying why
// it cannot be used, with the exit status in `status`: 2 for a file that is no output at
// all (the counter file, the program, a file another recording holds), else 1.
std::optional<QString> ChosenOutput(const RecordRequest& request, int& status) {
    status = kExitFailed;
    if (request.output.isEmpty()) return QString();
    if (request.output == QLatin1String(EncoderWAV::kStandardOutput)) return request.output;
    const QFileInfo info(request.output);
    const QString path = info.absoluteFilePath();
    const QString refused = OutputNaming(request.appFolder).RefusedOutput(path);
    if (!refused.isEmpty()) {
        ConsoleListener::Say(QStringLiteral("--output: %1").arg(refused));
        status = kExitUsage;
        return std::nullopt;
    }
    if (info.isDir()) {
        ConsoleListener::Say(QStringLiteral("--output: %1 是一个文件夹").arg(path));
        return std::nullopt;
    }
    if (!info.absoluteDir().exists()) {
        ConsoleListener::Say(QStringLiteral("--output: 文件夹不存在: %1").arg(info.absolutePath()));
        return std::nullopt;
    }
    if (info.exists() && info.size() > 0 && !request.force) {
        ConsoleListener::Say(QStringLiteral("--output: %1 已存在且不是空的; 要覆盖它请加 --force").arg(path));
        return std::nullopt;
    }
    return path;
}

}  // namespace

int RecordFromCommandLine(const RecordRequest& request) {
    int refusal = kExitFailed;
    const std::optional<QString> chosenOutput = ChosenOutput(request, refusal);
    if (!chosenOutput) return refusal;
    ConsoleListener listener;
    RecordingController controller(request.appFolder, &listener);
    listener.controller = &controller;
    // A chosen output leaves the numbered files and the counter as they are.
    controller.UseNumberedFiles(chosenOutput->isEmpty());
    WaveInRecorder& recorder = controller.Recorder();
    const int32_t index = ChosenDevice(recorder, request.device);
    if (index < 0) return 1;
    try {
        controller.Load();
    } catch (const Error& e) {
        listener.Print(QString::fromStdString(e.text()));
        return 1;
    }
    if (!recorder.SelectDevice(index)) {
        listener.Print(QStringLiteral("没有找到设备！"));
        return 1;
    }
    if (request.format) {
        const WaveFormat& f = request.format->format;
        // A format whose codec library cannot be loaded is told now, with the reason.
        if (const std::string problem = acm::CodecLibraryProblem(f.bytes()); !problem.empty()) {
            listener.Print(QString::fromStdString(problem));
            return 1;
        }
        controller.Encoder().SetFormat(f.bytes().data(), static_cast<int32_t>(f.size()),
                                       request.format->description.toStdString(), request.format->tag.toStdString());
        controller.FollowOutputType();  // 录音N.flac for a FLAC recording
    }
    // A reader of standard output that goes away ends the program as it ends the other
    // tools of a pipeline: by SIGPIPE (status 141), whatever disposition was inherited.
    if (*chosenOutput == QLatin1String(EncoderWAV::kStandardOutput)) std::signal(SIGPIPE, SIG_DFL);
    // Exactly the asked length of audio, however fast or slow the source delivers it.
    const auto frames = static_cast<int64_t>(RoundHalfEven(request.seconds * request.rate));
    controller.StopAfterFrames(frames);
    controller.MaxFileFrames(static_cast<int64_t>(RoundHalfEven(request.maxFileSeconds * request.rate)));
    controller.NoDataTimeout(kNoDataMs);
    const QString name = QString::fromStdString(recorder.DeviceName(index));
    const QString format = QString::fromStdString(controller.Encoder().FormatTag() + " - " + controller.Encoder().FormatID());

    // Ctrl+C, SIGTERM, SIGHUP: the file is finished as the stop button would, then the
    // status says which signal ended the run.
    int signalled = 0;
    SignalWatcher signalWatch([&](int signal) {
        if (signalled != 0) return;
        signalled = signal;
        controller.Stop();
        QCoreApplication::exit(128 + signal);
    });
    const QString output = chosenOutput->isEmpty() ? listener.output : *chosenOutput;
    // Nothing is displayed: the server gathers more than a window's display takes.
    audio::CaptureFragmentMs(audio::CaptureRingFragmentMs(int64_t{recorder.BufferCount()} * recorder.BufferSize(),
                                                          request.rate, request.channels));
    if (!controller.Start({output, index, QString::number(request.rate), request.channels})) return 1;
    if (!request.quiet) {
        std::fprintf(stderr, "tavrino: 从 \"%s\" 录音 %g 秒\n", name.toLocal8Bit().constData(), request.seconds);
    }
    int status = QCoreApplication::exec();
    const uint32_t overruns = controller.Overruns();
    controller.Unload();
    if (status == 0 && listener.messages > 0) status = 1;
    if (!request.quiet) {
        std::fprintf(stderr, "tavrino: %.3f 秒 (%lld 帧), %s, 丢失 %u 次\n",
                     static_cast<double>(controller.FramesRecorded()) / request.rate,
                     static_cast<long long>(controller.FramesRecorded()), format.toLocal8Bit().constData(), overruns);
    }
    return status;
}

}  // namespace tavrino
