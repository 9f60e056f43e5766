// SPDX-License-Identifier: GPL-3.0-or-later
// The live display against a plain reference that draws everything on every tick: what
// each tick shows must be the same, the window's surfaces must change exactly when a pixel
// does, and a window out of sight draws nothing yet shows the right frame on its return.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include <cmath>
#include <ostream>
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

constexpr int64_t kTickNs = 25'000'000;
constexpr int64_t kBufferNs = 58'049'887;  // 2560 stereo frames at 44.1 kHz

// The window's trace, spectrum and meter boxes and its panels, at the main window's sizes.
struct Screen {
    QWidget window;
    PictureBoxWidget* box[4] = {Place(new PictureBoxWidget(&window), 1680, 1800, 1545, 450),
                                Place(new PictureBoxWidget(&window), 120, 1800, 1545, 450),
                                Place(new PictureBoxWidget(&window), 1080, 330, 3690, 195),
                                Place(new PictureBoxWidget(&window), 1080, 690, 3690, 195)};
    QLabel* panel[3] = {new QLabel(&window), new QLabel(&window), new QLabel(&window)};
    LiveDisplay display{{&window, box[0], box[1], box[2], box[3], panel[0], panel[1], panel[2]}};
    Screen() { window.show(); }
    std::vector<QImage> Images() const { return {Img(0), Img(1), Img(2), Img(3)}; }
    QImage Img(int b) const { return box[b]->Surface().Image(); }
    uint64_t Changes() const {
        uint64_t n = 0;
        for (const PictureBoxWidget* b : box) n += b->Surface().ChangeCount();
        return n;
    }
};

// Every tick draws everything, straight on the surfaces.
struct DrawEverything {
    PictureBox box[4] = {PictureBox{99, 26}, PictureBox{99, 26}, PictureBox{242, 9}, PictureBox{242, 9}};
    clsDraw vis;
    clsSmooth smooth[2];
    DrawEverything() { smooth[0].SmoothNew(3), smooth[1].SmoothNew(3); }
    void Tick(const DisplayInput& in) {
        vis.DrawAmplitudes(in.buffer, box[0]);
        vis.DrawFrequencies(in.buffer, box[1]);
        const MeterPeaks peaks = PeaksForMeters(in.buffer, in.stereo);
        for (int c = 0; c < 2; ++c) {
            smooth[c].SmoothAdd(static_cast<float>(c == 0 ? peaks.left : peaks.right));
            const float level = smooth[c].SmoothGetMax() / 32768.0f;
            box[2 + c].Cls();
            vis.DrawRect(box[2 + c].hDC(), 0, 0, NearestInt32(246.0f * level), 13, GradientColor(1, level, 65280, 2271457, 255));
            if (in.lastClipNs[c] != 0 && in.nowNs - in.lastClipNs[c] < 2'000'000'000) vis.DrawRect(box[2 + c].hDC(), 238, 0, 242, 9, 255);
        }
    }
    std::vector<QImage> Images() const { return {box[0].Image(), box[1].Image(), box[2].Image(), box[3].Image()}; }
};

// 1 kHz; silence; 0.3 s of noise reaching full scale then 0.4 s of silence, over and over.
int16_t Tone(int64_t n, int i) { return static_cast<int16_t>(std::lround(16000 * std::sin((n * 2560 + i / 2) * 0.1425))); }
int16_t Silence(int64_t, int) { return 0; }
// The tone with one full-scale sample: the left meter's clip mark fades while its bar
// stands. Then 0.3 % softer: the meters change colour, not length.
int16_t ToneWithOneClip(int64_t n, int i) {
    if (n == 3 && i == 100) return 32767;
    return n < 40 ? Tone(n, i) : static_cast<int16_t>(std::lround(Tone(n, i) * 0.997));
}
int16_t Bursts(int64_t n, int i) { return n % 12 >= 5 ? 0 : static_cast<int16_t>((n * 5120 + i) * 2654435761 % 65536 - 32768); }

struct Row {
    const char* name;
    int16_t (*signal)(int64_t n, int i);  // sample i of buffer n
    int64_t hideAt, showAt;  // ticks out of sight (none when equal)
    bool minimise;           // else hidden (the tray)
    int64_t stopAt;          // the recording stops here
};
// The row's name in the test's listing (not its bytes, which hold addresses).
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class LiveDisplayTest : public ::testing::TestWithParam<Row> {};

TEST_P(LiveDisplayTest, ShowsWhatDrawingEveryTickShowsAndPaintsOnlyChanges) {
    const Row row = GetParam();
    Screen screen;
    DrawEverything ref;
    std::vector<int16_t> buffer(1024, 0);
    DisplayInput in;
    std::vector<QImage> before = ref.Images();
    for (int64_t k = 0, arrived = -1; k < 200; ++k) {
        if (k == row.hideAt) row.minimise ? screen.window.showMinimized() : screen.window.hide();
        if (k == row.showAt) screen.window.showNormal();
        in.recording = k < row.stopAt;
        in.nowNs = k * kTickNs;
        for (; (arrived + 1) * kBufferNs <= in.nowNs; ++arrived) {  // capture as the controller keeps it
            buffer.resize(5120);
            for (int i = 0; i < 5120; ++i) {
                buffer[static_cast<size_t>(i)] = row.signal(arrived + 1, i);
                if (std::abs(buffer[static_cast<size_t>(i)]) >= 32767) in.lastClipNs[static_cast<size_t>(i % 2)] = in.nowNs;
            }
            in.fileSize = 46 + static_cast<uint64_t>(arrived + 2) * 10240;
            in.elapsedMs = static_cast<int32_t>((arrived + 2) * 58);
        }
        in.buffer = buffer;
        const uint64_t changes = screen.Changes();
        const QString size = screen.panel[0]->text();
        if (in.recording) ref.Tick(in);
        screen.display.Tick(in);
        const std::vector<QImage> now = ref.Images();
        if (k >= row.hideAt && k < row.showAt) {
            ASSERT_EQ(screen.Changes(), changes) << "drawn while out of sight, tick " << k;
            ASSERT_EQ(screen.panel[0]->text(), size) << k;
            continue;
        }
        ASSERT_EQ(screen.Images(), now) << "tick " << k;
        size_t changed = 0;
        for (size_t b = 0; b < now.size(); ++b) changed += now[b] != before[b];
        ASSERT_TRUE(k <= row.showAt || screen.Changes() - changes == changed) << "taken without a pixel changed, tick " << k;
        before = now;
        ASSERT_EQ(screen.panel[0]->text(), QStringLiteral("文件大小: ") + (in.recording ? QString::fromStdString(FormatFileSize(
                                                                                          static_cast<double>(in.fileSize)))
                                                                                    : QStringLiteral("0 Bytes")))
            << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, LiveDisplayTest,
    ::testing::Values(Row{"Silence", Silence, -1, -1, false, 999}, Row{"SteadyTone", Tone, -1, -1, false, 999},
                      Row{"Bursts", Bursts, -1, -1, false, 999}, Row{"StillMeterLosesMarkAndTurnsColour", ToneWithOneClip, -1, -1, false, 999},
                      // Shown again while the bars fall after a burst (ticks 40-55, 95-111, ...).
                      Row{"TrayFor5Ticks", Bursts, 40, 45, false, 999},  // fewer than the 15 a bar lasts
                      Row{"MinimisedFor70Ticks", Bursts, 30, 100, true, 999},
                      Row{"StoppedWhileInTray", Bursts, 50, 120, false, 100}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// What the screen shows of a picture box: a new picture repaints only the inside, so the
// inside must be all of the picture and the sunken border must stay as the first paint
// drew it. Rows: where the picture changes.
TEST(PictureBoxWidgetTest, TheScreenShowsEveryNewPictureInsideItsBorder) {
    struct Change {
        const char* what;
        int left, top, right, bottom;  // filled on the surface, [left, right) x [top, bottom)
    };
    const Change rows[] = {
        {"all of it", 0, 0, 99, 26}, {"the top left pixel", 0, 0, 1, 1}, {"the bottom right pixel", 98, 25, 99, 26}};
    QWidget window;
    auto* box = Place(new PictureBoxWidget(&window), 1680, 1800, 1545, 450);  // 99 x 26 inside
    window.show();
    const auto screen = [&] {
        QCoreApplication::processEvents();
        return window.screen()->grabWindow(window.winId()).toImage().copy(box->geometry());
    };
    const QImage first = screen().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(first.size(), QSize(103, 30));
    uint32_t colour = 0x202020;
    for (const Change& row : rows) {
        box->Surface().hDC().FillRect(row.left, row.top, row.right, row.bottom, colour += 0x203010);
        QImage want = first;
        QPainter(&want).drawImage(2, 2, box->Surface().Image());
        ASSERT_EQ(screen().convertToFormat(QImage::Format_RGB32), want) << row.what;
    }
    EXPECT_NE(first.pixel(0, 0), first.pixel(102, 29));  // a border: dark above, light below
}

}  // namespace
}  // namespace tavrino
