// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// LiveDisplay: what the main window shows of a recording, one tick of its 25 ms timer at a
// time: the amplitude trace, the spectrum, the left and right level meters with their clip
// marks, and the status bar's size, time and file panels. It owns the drawing object and
// the two level smoothers.
//
// What a tick shows (Tick, from a DisplayInput the window reads off the controller):
//   recording  the trace of the last buffer, its falling spectrum (every bar drops 0.07 a
//              tick and jumps up to a louder bin at once), each meter at the mean of its
//              last three peaks (silence counts 1) in the green-orange-red gradient, a red
//              mark at a meter's end for two seconds after a full-scale sample, the file
//              size and the recorded time.
//   paused     the time with "已暂停"; pictures and smoothing rest.
//   idle       "文件大小: 0 Bytes" and "时间: 0:00"; the pictures keep their last state.
//   The third panel names the file being recorded, then dropouts (red) and clipped
//   buffers of the running or last recording.
//
// What a tick costs: each picture is drawn aside, into a frame of its own, and the
// window's surface takes the frame only when a pixel differs, so that a repaint is asked
// for only when something on screen changes. The trace is drawn only for a buffer whose
// samples differ from those last drawn; the spectrum only for new samples or while a bar
// still moves (a spectrum whose bars did not move on a buffer stays as it is for as long
// as that buffer lasts; its transform is taken once per buffer); a meter only when its
// bar, colour or clip mark changes; a peak is taken once per buffer. Texts are built and
// set only when what they show changed; the idle texts once, on entering idle (the first
// tick, every stop).
//
// While the window cannot be seen (hidden in the tray or minimised) a tick draws and sets
// nothing: it only feeds the smoothers, which never restart, and keeps the first 1024
// samples of the last 15 spectra it skipped. The first tick that can be seen again draws
// everything, and what it shows is what a window shown all along shows at that tick: the
// spectrum is replayed from those samples; what the bars held before them cannot matter,
// as no level outlives 15 decays (1 - 15 x 0.07 < 0).
//
// Threads: the UI thread only. A tick allocates nothing once the frames have their sizes,
// apart from the texts it changes.

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/picture/PictureBox.h"

class QLabel;
class QWidget;

namespace tavrino {

class clsDraw;
class clsSmooth;
class PictureBoxWidget;
class RecordingController;

// What one tick shows, as the recording controller has it at that moment.
struct DisplayInput {
    bool recording = false;
    bool paused = false;
    std::span<const int16_t> buffer;  // the last captured buffer after the effects
    bool stereo = true;               // the meters take alternate samples
    int32_t elapsedMs = 0;
    uint64_t fileSize = 0;            // bytes in the file being recorded
    std::array<int64_t, 2> lastClipNs{};  // steady clock of each channel's last full-scale sample; 0 none
    int64_t nowNs = 0;                // steady clock of this tick
    QString outputPath;               // the file being recorded
    uint32_t overruns = 0;
    uint32_t clippedBuffers = 0;
};

class LiveDisplay {
public:
    // The pictures and panels of `window`, which must outlive this object.
    struct Targets {
        QWidget* window = nullptr;  // whether it can be seen: shown and not minimised
        PictureBoxWidget* ampl = nullptr;
        PictureBoxWidget* freq = nullptr;
        PictureBoxWidget* vuLeft = nullptr;
        PictureBoxWidget* vuRight = nullptr;
        QLabel* sizePanel = nullptr;
        QLabel* timePanel = nullptr;
        QLabel* filePanel = nullptr;  // rich text
    };
    explicit LiveDisplay(const Targets& targets);
    ~LiveDisplay();
    LiveDisplay(const LiveDisplay&) = delete;
    LiveDisplay& operator=(const LiveDisplay&) = delete;

    void Tick(const DisplayInput& in);
    // What `controller` has for a tick now; `stereo`: the meters take alternate samples.
    static DisplayInput Input(const RecordingController& controller, bool stereo);

    clsDraw& Drawing() { return *clsVis; }

private:
    // What a level meter's picture shows: everything it is drawn from.
    struct MeterBar {
        int32_t right = 0;
        int32_t bottom = 0;
        COLORREF colour = 0;
        bool clipMark = false;
        bool operator==(const MeterBar&) const = default;
    };
    struct Frame {
        PictureBox picture;
        bool stale = true;  // not drawn since it was made or resized
        MeterBar meter;     // a meter's frame: as last drawn
    };
    // Gives the frame the box's size and colours; a new size makes it stale.
    static void Fit(Frame& frame, const PictureBoxWidget& box);
    // The box takes the frame's picture if a pixel differs.
    static void Present(Frame& frame, PictureBoxWidget& box);
    void TickRecording(const DisplayInput& in, bool visible);
    void NoteBuffer(std::span<const int16_t> buffer);
    void DrawTrace();
    void DrawSpectrum();
    void KeepSkippedSpectrum();
    void ReplaySkippedSpectra();
    void DrawMeters();
    void DrawMeter(Frame& frame, PictureBoxWidget& box, float level, int64_t lastClipNs);
    void ShowTexts(const DisplayInput& in);
    void ShowFileStatus(const DisplayInput& in);
    static void SetText(QLabel* label, const QString& text);

    Targets t_;
    std::unique_ptr<clsDraw> clsVis;
    std::unique_ptr<clsSmooth> clsSmoothL;
    std::unique_ptr<clsSmooth> clsSmoothR;
    Frame amplFrame_;
    Frame freqFrame_;
    Frame vuFrames_[2];

    enum class Mode { None, Idle, Recording, Paused };
    Mode shownMode_ = Mode::None;  // what the texts show
    bool picturesBehind_ = false;  // recording ticks drew nothing while out of sight
    std::array<int64_t, 2> lastClipNs_{};  // as the last recording tick had them
    int64_t lastTickNs_ = 0;

    // The last buffer seen and its meter peaks.
    std::vector<int16_t> buffer_;
    uint64_t bufferGen_ = 0;  // grows when the samples change
    uint64_t peaksGen_ = 0;
    bool peaksStereo_ = true;
    int32_t peakL_ = 1;
    int32_t peakR_ = 1;
    uint64_t traceGen_ = 0;     // the buffer the trace shows
    uint64_t spectrumGen_ = 0;  // the buffer the spectrum last took
    bool spectrumMoving_ = true;

    // Spectra a hidden window skipped: the first samples of each, oldest first in a ring.
    static constexpr size_t kReplay = 15;
    std::vector<std::array<int16_t, 1024>> skipped_;
    size_t skippedCount_ = 0;  // since the window was last seen (may exceed kReplay)

    // What the texts show now.
    uint64_t shownSize_ = UINT64_MAX;
    int32_t shownElapsed_ = -1;
    QString shownOutput_;
    uint32_t shownOverruns_ = 0;
    uint32_t shownClipped_ = 0;
    bool shownFileRecording_ = false;
    bool fileStatusShown_ = false;
};

}  // namespace tavrino
