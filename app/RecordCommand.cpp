#include "app/RecordCommand.h"

#include <QCoreApplication>

#include <cstdio>

#include "app/Prompter.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "encoder/EncoderWAV.h"
#include "recording/RecordingController.h"
#include "recording/SignalWatcher.h"

namespace tavrino {
namespace {

constexpr int32_t kRate = 44100;
constexpr int16_t kChannels = 2;
// A source that delivers nothing for this long ends the recording.
constexpr int32_t kNoDataMs = 10000;

// Prints what a window would show, each finished file's path, and how the run ended.
class ConsoleListener final : public RecordingListener {
public:
    void OutputChanged(const QString& path) override { output = path; }
    void FileFinished(const QString& path) override {
        std::printf("%s\n", path.toLocal8Bit().constData());
        std::fflush(stdout);
    }
    void RecordingStopped(StopCause cause) override {
        // The set length reached, or a signal: done. Anything else is a failure.
        if (cause == StopCause::FrameLimit) QCoreApplication::exit(0);
        if (cause != StopCause::FrameLimit && cause != StopCause::Asked) QCoreApplication::exit(1);
    }
    void Message(const QString& text, Caption caption) override { Print(text, caption); }
    void Fatal(const QString& text) override { Print(text, Caption::AppTitle); }

    void Print(const QString& text, Caption caption) {
        const QString head = caption == Caption::Notice ? QStringLiteral("提示") : AppTitle();
        std::fprintf(stderr, "tavrino: %s: %s\n", head.toLocal8Bit().constData(), text.toLocal8Bit().constData());
        ++messages;
    }

    QString output;
    int messages = 0;
};

// The device the request names: the first whose name contains the text, or without one
// the default source (else the first device); -1 if there is none.
int32_t ChosenDevice(WaveInRecorder& recorder, const QString& text) {
    const int32_t count = recorder.DeviceCount();
    if (text.isEmpty()) {
        const int32_t index = recorder.DefaultDevice();
        return index >= 0 ? index : (count > 0 ? 0 : -1);
    }
    for (int32_t i = 0; i < count; ++i) {
        if (QString::fromStdString(recorder.DeviceName(i)).contains(text)) return i;
    }
    return -1;
}

}  // namespace

int RecordFromCommandLine(const RecordRequest& request) {
    ConsoleListener listener;
    RecordingController controller(request.appFolder, &listener);
    try {
        controller.Load();
    } catch (const Error& e) {
        listener.Print(QString::fromStdString(e.text()), Caption::AppTitle);
        return 1;
    }
    WaveInRecorder& recorder = controller.Recorder();
    const int32_t index = ChosenDevice(recorder, request.device);
    if (index < 0) {
        std::fprintf(stderr, "tavrino: 没有选择硬件设备! (no capture device%s%s)\n",
                     request.device.isEmpty() ? "" : " matches ", request.device.toLocal8Bit().constData());
        return 1;
    }
    if (!recorder.SelectDevice(index)) {
        listener.Print(QStringLiteral("没有找到设备！"), Caption::AppTitle);
        return 1;
    }
    // Exactly the asked length of audio, however fast or slow the source delivers it.
    const auto frames = static_cast<int64_t>(RoundHalfEven(request.seconds * kRate));
    controller.StopAfterFrames(frames);
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
    if (!controller.Start({listener.output, index, QString::number(kRate), kChannels})) return 1;
    std::fprintf(stderr, "tavrino: recording %.1f s from \"%s\"\n", request.seconds, name.toLocal8Bit().constData());
    int status = QCoreApplication::exec();
    const uint32_t overruns = controller.Overruns();
    controller.Unload();
    if (status == 0 && listener.messages > 0) status = 1;
    std::fprintf(stderr, "tavrino: %.3f s (%lld frames), %s, %u overruns\n",
                 static_cast<double>(controller.FramesRecorded()) / kRate,
                 static_cast<long long>(controller.FramesRecorded()), format.toLocal8Bit().constData(), overruns);
    return status;
}

}  // namespace tavrino
