// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's per-buffer handler (copy, effects, elapsed time, encode and write) and
// one display tick, as the window runs them while recording 44.1 kHz stereo.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/Form1.h"
#include "capture/WaveInRecorder.h"
#include "common/Figures.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"
#include "platform/audio/Backend.h"
#include "platform/audio/TestBackend.h"
#include "platform/acm/AcmFormats.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "app_bench";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(argc, argv);
    return app;
}

// A loaded window recording from a test tone into a temporary folder.
struct Recording {
    explicit Recording(int32_t effects, const tavrino::WaveFormat* format = nullptr) {
        App();
        QDir(dir.path()).mkdir(QStringLiteral("file"));
        QFile counter(dir.path() + QStringLiteral("/nu.ini"));
        if (counter.open(QIODevice::WriteOnly)) counter.write("1\r\n");
        counter.close();
        tavrino::audio::SetBackend(tavrino::audio::TestBackend::FromDevices("tone"));
        form = std::make_unique<tavrino::Form1>(dir.path());
        form->Form_Load();
        form->cboDev->setCurrentIndex(0);
        form->cboDev_Click();
        for (int i = 0; i < 4; ++i) {
            if (effects & (1 << i)) {
                form->chkFX[static_cast<size_t>(i)]->setChecked(true);
                form->chkFX_Click(i);
            }
        }
        if (format) {
            form->Encoder().SetFormat(format->data(), static_cast<int32_t>(format->size()), "", "");
            form->FollowOutputType();
        }
        form->cmdDo_Click();
        // A 1 kHz tone at half scale, as one capture buffer of 5120 samples.
        buffer.resize(5120);
        for (size_t k = 0; k < buffer.size(); ++k) {
            buffer[k] = static_cast<int16_t>(16384 * std::sin(2 * 3.14159265358979 * 1000 * static_cast<double>(k / 2) / 44100));
        }
    }
    ~Recording() {
        form->Form_Unload();
        form.reset();
        tavrino::audio::SetBackend(nullptr);
    }

    QTemporaryDir dir;
    std::unique_ptr<tavrino::Form1> form;
    std::vector<int16_t> buffer;
};

void GotDataFigure(benchmark::State& state, int32_t effects, const tavrino::WaveFormat* format = nullptr) {
    Recording rec(effects, format);
    if (!rec.form->Recorder().IsRecording()) {
        state.SkipWithError("the recording did not start");
        return;
    }
    for (auto _ : state) {
        rec.form->GotData(rec.buffer, 10240);
    }
    // CPU milliseconds per 10240-byte buffer.
    state.counters["value"] = benchmark::Counter(1e-3, benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    state.SetLabel("ms/buffer");
}

// A lossy file type: the encoder's share of the per-buffer cost.
void GotDataLossyFigure(benchmark::State& state, tavrino::FileType type) {
    const tavrino::WaveFormat format = type == tavrino::FileType::Opus
                                           ? tavrino::acm::LossyFileFormat(type, 48000, 2, 96)
                                           : tavrino::acm::LossyFileFormat(type, 44100, 2, 128);
    GotDataFigure(state, 0, &format);
}

void TickFigure(benchmark::State& state) {
    Recording rec(0);
    for (int i = 0; i < 4; ++i) rec.form->GotData(rec.buffer, 10240);
    for (auto _ : state) {
        rec.form->tmrVis_Timer();
    }
    state.counters["value"] = benchmark::Counter(1e-3, benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    state.SetLabel("ms/tick");
}

}  // namespace

// Each buffer appends 10240 bytes: bounded iterations keep the files small.
BENCHMARK_CAPTURE(GotDataFigure, plain, 0)->Name("app.gotdata")->Iterations(4000)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(GotDataFigure, effects, 15)->Name("app.gotdata.effects")->Iterations(2000)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(GotDataLossyFigure, opus, tavrino::FileType::Opus)
    ->Name("app.gotdata.opus")->Iterations(2000)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(GotDataLossyFigure, mp3file, tavrino::FileType::Mp3)
    ->Name("app.gotdata.mp3file")->Iterations(2000)->MeasureProcessCPUTime();
BENCHMARK(TickFigure)->Name("app.tick")->Iterations(2000)->MeasureProcessCPUTime();
