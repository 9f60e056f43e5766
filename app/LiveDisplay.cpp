// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LiveDisplay.h"

#include <QFileInfo>
#include <QLabel>
#include <QStringList>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "analysis/clsDraw.h"
#include "analysis/clsSmooth.h"
#include "analysis/modDraw.h"
#include "app/PictureBoxWidget.h"
#include "app/StatusText.h"
#include "core/Nearest.h"
#include "recording/RecordingController.h"

namespace tavrino {
namespace {

// Meter colours, 0x00BBGGRR: green, orange, red.
constexpr int32_t kMeterLow = 65280;
constexpr int32_t kMeterMid = 2271457;
constexpr int32_t kMeterHigh = 255;

// The clip mark: red, at the meter's right end, for two seconds after a full-scale sample.
constexpr int64_t kClipHoldNs = 2'000'000'000;
constexpr COLORREF kClipRed = 255;
constexpr int32_t kClipWidth = 4;  // pixels

}  // namespace

LiveDisplay::LiveDisplay(const Targets& targets)
    : t_(targets),
      clsVis(std::make_unique<clsDraw>()),
      clsSmoothL(std::make_unique<clsSmooth>()),
      clsSmoothR(std::make_unique<clsSmooth>()),
      skipped_(kReplay) {
    clsSmoothL->SmoothNew(3);
    clsSmoothR->SmoothNew(3);
}

LiveDisplay::~LiveDisplay() = default;

void LiveDisplay::Fit(Frame& frame, const PictureBoxWidget& box) {
    const PictureBox& shown = box.Surface();
    PictureBox& p = frame.picture;
    const auto w = static_cast<int32_t>(shown.ScaleWidth());
    const auto h = static_cast<int32_t>(shown.ScaleHeight());
    if (static_cast<int32_t>(p.ScaleWidth()) == w && static_cast<int32_t>(p.ScaleHeight()) == h &&
        p.BackColor() == shown.BackColor() && p.FillColor() == shown.FillColor() && p.FillStyle() == shown.FillStyle()) {
        return;
    }
    p.FillColor(shown.FillColor());
    p.FillStyle(shown.FillStyle());
    p.BackColor(shown.BackColor());
    p.Resize(w, h);
    frame.stale = true;
}

DisplayInput LiveDisplay::Input(const RecordingController& c, bool stereo) {
    DisplayInput in;
    in.recording = c.IsRecording();
    in.overruns = c.Overruns();
    in.clippedBuffers = c.ClippedBuffers();
    if (!in.recording) return in;
    in.paused = c.IsPaused();
    in.buffer = c.LastBuffer();
    in.stereo = stereo;
    in.elapsedMs = c.ElapsedMs();
    in.fileSize = c.FileSize();  // the encoder's count: no file system query
    in.lastClipNs = {c.LastClipNs(0), c.LastClipNs(1)};
    in.nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    in.outputPath = c.OutputPath();
    return in;
}

void LiveDisplay::Tick(const DisplayInput& in) {
    const bool visible = t_.window->isVisible() && !t_.window->isMinimized();
    if (in.recording && !in.paused) TickRecording(in, visible);
    if (!visible) return;
    if (picturesBehind_) {
        // Ticks that drew nothing while the window could not be seen: the pictures as the
        // last of them would have left them.
        if (skippedCount_ > 0) ReplaySkippedSpectra();
        DrawTrace();
        DrawMeters();
        picturesBehind_ = false;
    }
    ShowTexts(in);
}

void LiveDisplay::TickRecording(const DisplayInput& in, bool visible) {
    NoteBuffer(in.buffer);
    if (peaksGen_ != bufferGen_ || peaksStereo_ != in.stereo) {
        const MeterPeaks peaks = PeaksForMeters(buffer_, in.stereo);
        peakL_ = peaks.left;
        peakR_ = peaks.right;
        peaksGen_ = bufferGen_;
        peaksStereo_ = in.stereo;
    }
    clsSmoothL->SmoothAdd(static_cast<float>(peakL_));
    clsSmoothR->SmoothAdd(static_cast<float>(peakR_));
    lastClipNs_ = in.lastClipNs;
    lastTickNs_ = in.nowNs;
    if (!visible) {
        KeepSkippedSpectrum();
        picturesBehind_ = true;
        return;
    }
    if (skippedCount_ > 0) ReplaySkippedSpectra();
    DrawSpectrum();
    DrawTrace();
    DrawMeters();
    picturesBehind_ = false;
}

void LiveDisplay::NoteBuffer(std::span<const int16_t> buffer) {
    if (buffer.size() == buffer_.size() &&
        (buffer.empty() || std::memcmp(buffer.data(), buffer_.data(), buffer.size_bytes()) == 0)) {
        return;
    }
    buffer_.assign(buffer.begin(), buffer.end());
    ++bufferGen_;
}

void LiveDisplay::Present(Frame& frame, PictureBoxWidget& box) {
    frame.stale = false;
    box.Surface().TakePicture(frame.picture);
}

void LiveDisplay::DrawTrace() {
    Fit(amplFrame_, *t_.ampl);
    if (traceGen_ == bufferGen_ && !amplFrame_.stale) return;
    clsVis->DrawAmplitudes(buffer_, amplFrame_.picture);
    traceGen_ = bufferGen_;
    Present(amplFrame_, *t_.ampl);
}

void LiveDisplay::DrawSpectrum() {
    Fit(freqFrame_, *t_.freq);
    // The same samples again on bars that did not move last time: nothing can move now.
    if (spectrumGen_ == bufferGen_ && !spectrumMoving_ && !freqFrame_.stale) return;
    std::array<double, clsDraw::kBars> before{};
    for (int32_t j = 0; j < clsDraw::kBars; ++j) before[static_cast<size_t>(j)] = clsVis->BarLevel(j);
    clsVis->DrawFrequencies(buffer_, freqFrame_.picture);
    spectrumMoving_ = false;
    for (int32_t j = 0; j < clsDraw::kBars; ++j) {
        if (clsVis->BarLevel(j) != before[static_cast<size_t>(j)]) spectrumMoving_ = true;
    }
    spectrumGen_ = bufferGen_;
    Present(freqFrame_, *t_.freq);
}

void LiveDisplay::KeepSkippedSpectrum() {
    // A buffer too short for a spectrum changes nothing, so it is not one of the 15.
    if (buffer_.size() < static_cast<size_t>(clsDraw::kSpectrumSamples)) return;
    std::copy_n(buffer_.begin(), clsDraw::kSpectrumSamples, skipped_[skippedCount_ % kReplay].begin());
    ++skippedCount_;
}

void LiveDisplay::ReplaySkippedSpectra() {
    Fit(freqFrame_, *t_.freq);
    // Whatever the bars held before the last 15 has decayed away by their end: those 15
    // are all that the skipped ticks leave.
    const size_t first = skippedCount_ >= kReplay ? skippedCount_ % kReplay : 0;
    const size_t n = std::min(skippedCount_, kReplay);
    for (size_t i = 0; i < n; ++i) clsVis->DrawFrequencies(skipped_[(first + i) % kReplay], freqFrame_.picture);
    skippedCount_ = 0;
    spectrumMoving_ = true;  // the next samples decide
    Present(freqFrame_, *t_.freq);
}

void LiveDisplay::DrawMeters() {
    DrawMeter(vuFrames_[0], *t_.vuLeft, clsSmoothL->SmoothGetMax() / 32768.0f, lastClipNs_[0]);
    DrawMeter(vuFrames_[1], *t_.vuRight, clsSmoothR->SmoothGetMax() / 32768.0f, lastClipNs_[1]);
}

void LiveDisplay::DrawMeter(Frame& frame, PictureBoxWidget& box, float level, int64_t lastClipNs) {
    Fit(frame, box);
    PictureBox& p = frame.picture;
    // The bar's extent is the box's own outer size, as the window reports it.
    const MeterBar bar{NearestInt32(static_cast<float>(box.width()) * level), NearestInt32(static_cast<float>(box.height())),
                       GradientColor(1.0f, level, kMeterLow, kMeterMid, kMeterHigh),
                       lastClipNs != 0 && lastTickNs_ - lastClipNs < kClipHoldNs};
    // Most ticks move no meter by a whole pixel.
    if (!frame.stale && bar == frame.meter) return;
    p.Cls();
    clsVis->DrawRect(p.hDC(), 0, 0, bar.right, bar.bottom, bar.colour);
    if (bar.clipMark) {
        const auto w = static_cast<int32_t>(p.ScaleWidth());
        clsVis->DrawRect(p.hDC(), w - kClipWidth, 0, w, static_cast<int32_t>(p.ScaleHeight()), kClipRed);
    }
    frame.meter = bar;
    Present(frame, box);
}

// ---------------------------------------------------------------------------------------
// Texts

void LiveDisplay::SetText(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

void LiveDisplay::ShowTexts(const DisplayInput& in) {
    const Mode mode = !in.recording ? Mode::Idle : in.paused ? Mode::Paused : Mode::Recording;
    if (mode == Mode::Idle) {
        if (shownMode_ == Mode::Idle) return;  // set on entering idle; nothing changes there
        SetText(t_.sizePanel, QStringLiteral("文件大小: 0 Bytes"));
        SetText(t_.timePanel, QStringLiteral("时间: 0:00"));
        shownSize_ = UINT64_MAX;
        shownElapsed_ = -1;
    } else {
        if (mode == Mode::Recording && (in.fileSize != shownSize_ || shownMode_ != Mode::Recording)) {
            SetText(t_.sizePanel,
                    QStringLiteral("文件大小: ") + QString::fromStdString(FormatFileSize(static_cast<double>(in.fileSize))));
            shownSize_ = in.fileSize;
        }
        if (in.elapsedMs != shownElapsed_ || shownMode_ != mode) {
            QString time = QStringLiteral("时间: ") + QString::fromStdString(FormatElapsed(in.elapsedMs));
            if (mode == Mode::Paused) time += QStringLiteral(" 已暂停");
            SetText(t_.timePanel, time);
            shownElapsed_ = in.elapsedMs;
        }
    }
    shownMode_ = mode;
    ShowFileStatus(in);
}

void LiveDisplay::ShowFileStatus(const DisplayInput& in) {
    // The file being written while recording; dropouts and clipping of the running or the
    // last recording, until the next start.
    const QString& output = in.recording ? in.outputPath : QString();
    if (fileStatusShown_ && in.recording == shownFileRecording_ && output == shownOutput_ &&
        in.overruns == shownOverruns_ && in.clippedBuffers == shownClipped_) {
        return;
    }
    QStringList parts;
    if (in.recording) parts << QFileInfo(in.outputPath).fileName().toHtmlEscaped();
    if (in.overruns > 0) parts << QStringLiteral("<span style=\"color:#d00000\">丢失 %1 次</span>").arg(in.overruns);
    if (in.clippedBuffers > 0) parts << QStringLiteral("削波 %1").arg(in.clippedBuffers);
    SetText(t_.filePanel, parts.join(QStringLiteral(" ")));
    fileStatusShown_ = true;
    shownFileRecording_ = in.recording;
    shownOutput_ = output;
    shownOverruns_ = in.overruns;
    shownClipped_ = in.clippedBuffers;
}

}  // namespace tavrino
