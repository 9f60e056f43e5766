// The live display against a plain reference that draws everything on every tick: what
// each tick shows must be the same, the window's surfaces must change exactly when a pixel
// does, and a window out of sight draws nothing yet shows the right frame on its return.
#include <gtest/gtest.h>

#include <QLabel>
#include <QWidget>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "analysis/clsDraw.h"
#include "analysis/clsSmooth.h"
#include "analysis/modDraw.h"
#include "app/LiveDisplay.h"
#include "app/PictureBoxWidget.h"
#include "app/StatusText.h"
#include "app/Twips.h"
#include "core/Nearest.h"

namespace tavrino {
namespace {

constexpr int kSamples = 5120;          // one capture buffer, stereo
constexpr int64_t kTickNs = 25'000'000;
constexpr int64_t kBufferNs = 58'049'887;  // 2560 frames at 44.1 kHz

// The window's four picture boxes and three panels, at the main window's sizes.
struct Screen {
    QWidget window;
    PictureBoxWidget* ampl = Place(new PictureBoxWidget(&window), 1680, 1800, 1545, 450);
    PictureBoxWidget* freq = Place(new PictureBoxWidget(&window), 120, 1800, 1545, 450);
    PictureBoxWidget* vu[2] = {Place(new PictureBoxWidget(&window), 1080, 330, 3690, 195),
                               Place(new PictureBoxWidget(&window), 1080, 690, 3690, 195)};
    QLabel* panels[3] = {new QLabel(&window), new QLabel(&window), new QLabel(&window)};
    LiveDisplay display{{&window, ampl, freq, vu[0], vu[1], panels[0], panels[1], panels[2]}};
    Screen() { window.show(); }
    std::vector<QImage> Images() const {
        return {ampl->Surface().Image(), freq->Surface().Image(), vu[0]->Surface().Image(), vu[1]->Surface().Image()};
    }
    uint64_t Changes() const {
        return ampl->Surface().ChangeCount() + freq->Surface().ChangeCount() + vu[0]->Surface().ChangeCount() +
               vu[1]->Surface().ChangeCount();
    }
};

// Every tick draws everything, straight on the surfaces.
struct DrawEverything {
    PictureBox ampl{99, 26}, freq{99, 26}, vu[2] = {PictureBox{242, 9}, PictureBox{242, 9}};
    clsDraw vis;
    clsSmooth smooth[2];
    DrawEverything() {
        smooth[0].SmoothNew(3);
        smooth[1].SmoothNew(3);
    }
    void Tick(const DisplayInput& in) {
        vis.DrawAmplitudes(in.buffer, ampl);
        vis.DrawFrequencies(in.buffer, freq);
        const MeterPeaks peaks = PeaksForMeters(in.buffer, in.stereo);
        smooth[0].SmoothAdd(static_cast<float>(peaks.left));
        smooth[1].SmoothAdd(static_cast<float>(peaks.right));
        for (int c = 0; c < 2; ++c) {
            const float level = smooth[c].SmoothGetMax() / 32768.0f;
            vu[c].Cls();
            vis.DrawRect(vu[c].hDC(), 0, 0, NearestInt32(246.0f * level), 13,
                         GradientColor(1.0f, level, 65280, 2271457, 255));
            if (in.lastClipNs[c] != 0 && in.nowNs - in.lastClipNs[c] < 2'000'000'000) vis.DrawRect(vu[c].hDC(), 238, 0, 242, 9, 255);
        }
    }
    std::vector<QImage> Images() const { return {ampl.Image(), freq.Image(), vu[0].Image(), vu[1].Image()}; }
};

// The input of tick `k` of a recording whose buffer `n` holds signal(n, i) at sample i.
struct Recording {
    explicit Recording(int16_t (*f)(int64_t, int)) : signal(f) {}
    std::function<int16_t(int64_t n, int i)> signal;
    std::vector<int16_t> buffer = std::vector<int16_t>(1024, 0);
    int64_t arrived = -1;
    DisplayInput in;
    const DisplayInput& Tick(int64_t k, bool recording = true) {
        in.recording = recording;
        in.nowNs = k * kTickNs;
        for (; (arrived + 1) * kBufferNs <= in.nowNs; ++arrived) {
            buffer.resize(kSamples);
            for (int i = 0; i < kSamples; ++i) {
                buffer[static_cast<size_t>(i)] = signal(arrived + 1, i);
                if (std::abs(buffer[static_cast<size_t>(i)]) >= 32767) in.lastClipNs[static_cast<size_t>(i % 2)] = in.nowNs;
            }
            in.fileSize = 46 + static_cast<uint64_t>(arrived + 2) * 10240;
            in.elapsedMs = static_cast<int32_t>((arrived + 2) * 58);
        }
        in.buffer = buffer;
        return in;
    }
};

int16_t Tone(int64_t n, int i) { return static_cast<int16_t>(std::lround(16000 * std::sin((n * 2560 + i / 2) * 0.1425))); }
int16_t Silence(int64_t, int) { return 0; }
// 0.3 s of loud noise reaching full scale, 0.4 s of silence, over and over.
int16_t Bursts(int64_t n, int i) {
    if (n % 12 >= 5) return 0;
    const int64_t x = (n * kSamples + i) * 2654435761 % 65536;
    return static_cast<int16_t>(x - 32768);
}

struct Row {
    const char* name;
    int16_t (*signal)(int64_t, int);
    int64_t hideAt, showAt;  // ticks out of sight (none when equal)
    bool minimise;           // else hidden (the tray)
    int64_t stopAt;          // the recording stops here
};

class LiveDisplayTest : public ::testing::TestWithParam<Row> {};

TEST_P(LiveDisplayTest, ShowsWhatDrawingEveryTickShowsAndPaintsOnlyChanges) {
    const Row row = GetParam();
    Recording rec(row.signal);
    Screen screen;
    DrawEverything ref;
    std::vector<QImage> before = ref.Images();
    for (int64_t k = 0; k < 200; ++k) {
        if (k == row.hideAt) row.minimise ? screen.window.showMinimized() : screen.window.hide();
        if (k == row.showAt) screen.window.showNormal();
        const DisplayInput& in = rec.Tick(k, k < row.stopAt);
        const uint64_t changes = screen.Changes();
        const QString texts = screen.panels[0]->text() + screen.panels[1]->text();
        if (in.recording) ref.Tick(in);
        screen.display.Tick(in);
        const std::vector<QImage> now = ref.Images();
        if (k >= row.hideAt && k < row.showAt) {
            ASSERT_EQ(screen.Changes(), changes) << "drawn while out of sight, tick " << k;
            ASSERT_EQ(screen.panels[0]->text() + screen.panels[1]->text(), texts) << k;
            continue;
        }
        ASSERT_EQ(screen.Images(), now) << "tick " << k;
        if (k > row.showAt) {
            size_t changed = 0;
            for (size_t b = 0; b < now.size(); ++b) changed += now[b] != before[b];
            ASSERT_EQ(screen.Changes() - changes, changed) << "surfaces taken without a pixel changed, tick " << k;
        }
        before = now;
        const QString size = in.recording ? QStringLiteral("文件大小: ") + QString::fromStdString(FormatFileSize(
                                                                             static_cast<double>(in.fileSize)))
                                          : QStringLiteral("文件大小: 0 Bytes");
        ASSERT_EQ(screen.panels[0]->text(), size) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, LiveDisplayTest,
    ::testing::Values(Row{"Silence", Silence, -1, -1, false, 999}, Row{"SteadyTone", Tone, -1, -1, false, 999},
                      Row{"Bursts", Bursts, -1, -1, false, 999},
                      // Shown again while the bars fall after a burst (ticks 40-55, 95-111, ...).
                      Row{"TrayFor5Ticks", Bursts, 40, 45, false, 999},  // fewer than the 15 a bar lasts
                      Row{"MinimisedFor70Ticks", Bursts, 30, 100, true, 999},
                      Row{"StoppedWhileInTray", Bursts, 50, 120, false, 100}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavrino
