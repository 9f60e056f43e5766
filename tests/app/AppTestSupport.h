// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers of the main-window tests: a temporary application folder, a prompter that
// records what would be shown, waiting on the event loop, reading WAV files, a loaded
// main window on test devices.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QComboBox>
#include <QLineEdit>
#include <QApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTimer>
#include <QTemporaryDir>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "app/MessageBoxes.h"
#include "capture/WaveInRecorder.h"
#include "platform/audio/Backend.h"
#include "platform/audio/TestBackend.h"

namespace tavrino::test {

struct Shown {
    QString text;
    QString caption;
    QString buttonCaption;  // cmdDo's caption while the box was up
    bool recording = false; // whether a recording ran while the box was up
};

// Records every message box of a window instead of showing it, with the window's state
// at that moment.
class RecordingBoxes final : public winmsg::MessageBoxPresenter {
public:
    RecordingBoxes(std::vector<Shown>& log, Form1* form) : log_(log), form_(form) {}
    void Show(const std::string& prompt, winmsg::MsgBoxIcon, const std::string& title) override {
        Shown s{QString::fromStdString(prompt), QString::fromStdString(title), {}, false};
        if (form_ != nullptr) {
            s.buttonCaption = form_->cmdDo->text();
            s.recording = form_->Controller().IsRecording();
        }
        log_.push_back(s);
    }

private:
    std::vector<Shown>& log_;
    Form1* form_;
};

// Runs the event loop until cond() holds or timeoutMs pass; returns cond().
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return cond();
}

// An application folder with nu.ini holding `counter` and an empty file/ folder.
class AppFolder {
public:
    explicit AppFolder(const QByteArray& counterLine = "7\r\n", bool withOutputFolder = true) {
        if (withOutputFolder) QDir(dir_.path()).mkdir(QStringLiteral("file"));
        if (!counterLine.isNull()) {
            QFile f(dir_.path() + QStringLiteral("/nu.ini"));
            if (f.open(QIODevice::WriteOnly)) f.write(counterLine);
        }
    }
    QString Path() const { return dir_.path(); }
    QString Recording(int n) const { return Path() + QStringLiteral("/file/录音%1.wav").arg(n); }
    QByteArray Counter() const {
        QFile f(Path() + QStringLiteral("/nu.ini"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir_;
};

// Runs a copy of the program placed in the folder: the application folder is the program's own.
class ProgramCopy {
public:
    // withPlugin: the player's plugin beside it, as an installation has it.
    explicit ProgramCopy(const AppFolder& folder, bool withPlugin = true)
        : path_(folder.Path() + QStringLiteral("/tavrino")) {
        EXPECT_TRUE(QFile::copy(QStringLiteral(TAVRINO_PROGRAM), path_));
        QFile::setPermissions(path_, QFile::permissions(path_) | QFileDevice::ExeOwner);
        if (withPlugin) {
            EXPECT_TRUE(QFile::copy(QStringLiteral(TAVRINO_PLUGIN_DIR "/libtavrino-player.so"),
                                    folder.Path() + QStringLiteral("/libtavrino-player.so")));
        }
    }
    // Starts it without a display on the given test devices.
    void Start(QProcess& p, const QString& devices, const QStringList& args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TAVRINO_AUDIO"), devices);
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));  // it must go offscreen by itself
        p.setProcessEnvironment(env);
        p.start(path_, args);
    }
    const QString& Path() const { return path_; }

private:
    QString path_;
};

inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline uint32_t U32(const QByteArray& b, int off) {
    if (off < 0 || off + 4 > b.size()) return 0xFFFFFFFFu;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b.at(off + i));
    return v;
}

// The samples of a canonical 16-bit PCM WAV file with an 18-byte "fmt " chunk, after
// checking its header: RIFF and data sizes that match the file.
inline std::vector<int16_t> PcmSamples(const QByteArray& file, std::string* problem) {
    std::vector<int16_t> out;
    auto fail = [&](const char* why) {
        if (problem) *problem = why;
        return std::vector<int16_t>{};
    };
    if (file.size() < 46) return fail("shorter than the header");
    if (file.left(4) != "RIFF" || file.mid(8, 8) != "WAVEfmt ") return fail("not RIFF/WAVE");
    if (U32(file, 4) != static_cast<uint32_t>(file.size() - 8)) return fail("RIFF size does not match the file");
    if (U32(file, 16) != 18) return fail("fmt chunk is not 18 bytes");
    if (file.mid(38, 4) != "data") return fail("no data chunk at 38");
    if (U32(file, 42) != static_cast<uint32_t>(file.size() - 46)) return fail("data size does not match the file");
    out.resize(static_cast<size_t>(file.size() - 46) / 2);
    std::memcpy(out.data(), file.constData() + 46, out.size() * 2);
    return out;
}

// Runs `act` on the next modal window of type W while it is up.
template <typename W>
class WhenModal {
public:
    explicit WhenModal(std::function<void(W&)> act) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this, act] {
            auto* w = dynamic_cast<W*>(QApplication::activeModalWidget());
            if (w == nullptr) return;
            timer_.stop();
            ++seen;
            act(*w);
        });
        timer_.start();
    }
    int seen = 0;

private:
    QTimer timer_;
};

// A main window loaded on test devices, in a temporary application folder, its message
// boxes recorded. The window goes before the devices' backend.
class FormRig {
public:
    FormRig() = default;
    FormRig(const FormRig&) = delete;
    FormRig& operator=(const FormRig&) = delete;
    ~FormRig() {
        form.reset();
        audio::SetBackend(nullptr);
    }

    // A loaded window on the given test devices.
    void Load(const std::string& setup, const QByteArray& counter = "7\r\n") {
        folder = std::make_unique<AppFolder>(counter);
        backend = audio::TestBackend::FromDevices(setup);
        audio::SetBackend(backend);
        form = std::make_unique<Form1>(folder->Path());
        form->SetMessageBoxes(std::make_shared<RecordingBoxes>(shown, form.get()));
        form->Form_Load();
    }

    void ChooseDevice(int index) {
        form->cboDev->setCurrentIndex(index);
        form->cboDev_Click();
    }

    // Starts, waits until `samples` samples reached the file, stops; returns the file.
    QByteArray Record(int samples, int bytesPerSample = 2, int headerBytes = 46) {
        const QString path = form->txtFile->text();
        form->cmdDo_Click();
        EXPECT_TRUE(form->Recorder().IsRecording());
        EXPECT_TRUE(WaitFor([&] { return QFileInfo(path).size() >= headerBytes + bytesPerSample * samples; }));
        form->cmdDo_Click();
        return ReadFile(path);
    }

    std::unique_ptr<AppFolder> folder;
    std::shared_ptr<audio::TestBackend> backend;
    std::unique_ptr<Form1> form;
    std::vector<Shown> shown;
};

}  // namespace tavrino::test
