#include "app/RecordCommand.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "app/Prompter.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "recording/RecordingController.h"

namespace tavrino {
namespace {

// Prints what a window would show, and remembers whether anything went wrong.
class ConsoleListener final : public RecordingListener {
public:
    void OutputChanged(const QString& path) override { output = path; }
    void RecordingChanged(bool recording) override {
        // A stop that nobody asked for (write error, device lost) ends the run.
        if (!recording && !stopping) QCoreApplication::exit(1);
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
    bool stopping = false;  // the time is up: the stop is on purpose
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
    const QString path = listener.output;
    const QString name = QString::fromStdString(recorder.DeviceName(index));
    if (!controller.Start({path, index, QStringLiteral("44100"), 2})) return 1;
    std::fprintf(stderr, "tavrino: recording %.1f s from \"%s\"\n", request.seconds, name.toLocal8Bit().constData());

    QTimer::singleShot(static_cast<int>(request.seconds * 1000.0), [&] {
        listener.stopping = true;
        controller.Stop();
        QCoreApplication::exit(0);
    });
    int status = QCoreApplication::exec();
    listener.stopping = true;
    controller.Unload();
    if (status == 0 && listener.messages > 0) status = 1;
    std::printf("%s\n", path.toLocal8Bit().constData());
    return status;
}

}  // namespace tavrino
