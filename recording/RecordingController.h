// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// RecordingController: the recording logic of the recorder, apart from any window.
//
// It owns the capture object, the effects chain, the encoder and the output naming; the
// main window and the command line's timed recording both drive it. They hand it the
// settings a start needs (StartSettings: the controls' contents) and learn what happened
// through a RecordingListener: the state, the output path of the next recording, the file
// just finished, and the messages to show.
//
//   Load      completes recordings a crash left unfinished (their header sizes; the system
//             log names each), reads the counter file, claims the first free numbered file
//             from that number on (see OutputNaming.h: a file with anything in it is never
//             reused, one that another running recorder holds is taken), creates it empty,
//             saves the counter when it moved and reports the path (OutputChanged). Raises
//             tavrino::Error when the counter file or the output folder is missing or
//             unreadable: the program then ends.
//   Start     checks in this order, each failure told and nothing changed: an output path,
//             a device, a usable sample rate. A numbered output whose file has been written
//             to meanwhile moves on to the next free number; a chosen output that is the
//             counter file, the program, or a file another recorder holds is refused. Then
//             opens the encoder on the path with the capture format ("无法初始化编码器!"),
//             gives the effects chain the rate and channels, starts capture ("不能启动录音功
//             能!": the encoder closed and the file cut back to 0 bytes, or removed when the
//             start made it, so that its number stays unused), and saves the counter. Every
//             count and flag of a recording starts afresh.
//   Stop      stops capture ("此时无法停止录音!" when it cannot, then on; the buffers already
//             captured still arrive through GotData), closes the encoder (final header; a
//             close that cannot write, synchronise or close the file is told as a write
//             error), reports the finished file, advances to the next free numbered file
//             (created empty and claimed, OutputChanged) and saves the counter. The output
//             folder gone: Fatal, the program ends.
//   GotData   per captured buffer, in place of the window: copy into the last buffer, run
//             the effects over the copy (whether or not a recording runs, so the display
//             always shows processed samples); while recording: add the buffer's time, encode
//             it, in pieces of at most one second of input (the most the encoder takes at
//             once, so that a buffer of a low rate is never refused). A short write (disk
//             full, file size limit) stops the recording first and then tells "Write error
//             (no disk space left?)!" (WriteFailed names the file and the system's reason
//             first); any other encoder failure loses that piece, is counted
//             (EncodeFailures) and told once per recording, from the event loop ("编码失败，
//             部分录音数据未能写入: " and why), and the recording goes on.
//   DeviceLost  the capture device went away while recording: stop, then tell.
//   StopAfterFrames  a recording of a set length: once that many frames went to the file
//             (the buffer that reaches the count is cut there), the recording stops as Stop
//             does (StopCause::FrameLimit).
//   NoDataTimeout  a recording to which capture delivers nothing for that long stops, says
//             so, and keeps the file (StopCause::NoData).
//   Pause / Resume  while paused, captured audio is discarded (the device stays open, so
//             resuming is instant), the file stays open with its header sizes made true, the
//             time and the last buffer rest. Resume appends the next buffer directly.
//   Files of any length: when the next buffer would take the file past the encoder's size
//             limit, or the file holds MaxFileFrames frames, the file is finished and the
//             recording goes on into the next free numbered file (a chosen output without
//             numbered files: "NAME-2.wav", "NAME-3.wav", ...) with the same format
//             (FileFinished, then OutputChanged). No captured frame is lost or repeated at
//             the seam. The seam falls on a whole codec frame of the conversion
//             (Encoder_SeamBlock: an ADPCM or GSM block, an MPEG frame, rate changes
//             included), so that no silence is padded in: the files decode to the capture
//             joined, except where the codec cannot start afresh without adding something
//             (MPEG Layer-3: each file begins with the encoder's delay) or a rate change
//             has no whole seam within a second (a few output frames padded). A file cut on
//             purpose holds exactly MaxFileFrames frames (rounded down to whole seams).
//   Clipping  each recorded buffer (after the effects) is looked at for full-scale samples
//             per channel: LastClipNs and ClippedBuffers.
//   Unload    stops a running recording as Stop does, then releases capture and encoder.
//             Called from inside a capture callback (a handler that ends the program), the
//             release waits until the callback has returned.
//
// The display reads LastBuffer(), ElapsedMs() and the encoder's byte count; it never
// touches capture or the encoder itself.
//
// Without numbered files (UseNumberedFiles(false), the command line's chosen output), Load
// touches nothing, a recording claims no number, and a stop neither advances nor saves:
// the numbered files and the counter stay as they were.
//
// Threads: the UI thread only; capture delivers its buffers there, one at a time. Nothing
// is locked. The per-buffer path allocates nothing once the last buffer has its size.

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "recording/OutputNaming.h"

namespace tavrino {

class WaveInRecorder;
class EncoderWAV;
class clsDSP;

// The caption a message goes under: "提示" (the start and stop checks) or the
// application's title (write error, device loss, failures that end the program).
enum class Caption { Notice, AppTitle };

// Why a recording stopped.
enum class StopCause {
    Asked,        // Stop (the button, unload, a signal)
    FrameLimit,   // StopAfterFrames reached
    WriteFailed,  // the file took fewer bytes than it was given
    DeviceLost,   // capture went away
    NoData,       // nothing arrived within NoDataTimeout
};

// What the controller tells whoever shows it. Every call comes on the UI thread, in the
// order things happened; the defaults ignore it.
class RecordingListener {
public:
    virtual ~RecordingListener() = default;
    virtual void RecordingStarted() {}
    virtual void PauseChanged(bool /*paused*/) {}
    // Reported before the finished file and the next output path.
    virtual void RecordingStopped(StopCause /*cause*/) {}
    // The file a finished recording went to (it may be played now).
    virtual void FileFinished(const QString& /*path*/) {}
    // The path the next recording will go to (after Load and every Advance).
    virtual void OutputChanged(const QString& /*path*/) {}
    // A message for the user; returns when it has been seen.
    virtual void Message(const QString& /*text*/, Caption /*caption*/) {}
    // A write to `path` fell short or its file could not be finished (the system's reason):
    // told once per recording, just before the message "Write error (no disk space left?)!".
    virtual void WriteFailed(const QString& /*path*/, const QString& /*reason*/) {}
    // A failure that no handler can mend (the counter file or output folder went away):
    // the program must end. Called once; later messages are not sent.
    virtual void Fatal(const QString& /*text*/) {}
};

// The controls' contents a start reads.
struct StartSettings {
    QString output;    // the output path (txtFile)
    int32_t device = -1;  // the chosen device's list index; -1 = none chosen
    QString rate;      // the sample-rate text
    int16_t channels = 2;
};

class RecordingController {
public:
    // appFolder: the application folder (nu.ini, file/). Creates the capture object, the
    // encoder and the effects chain; connects capture's events to this controller.
    explicit RecordingController(const QString& appFolder, RecordingListener* listener = nullptr);
    ~RecordingController();
    RecordingController(const RecordingController&) = delete;
    RecordingController& operator=(const RecordingController&) = delete;

    void SetListener(RecordingListener* listener) { listener_ = listener; }

    // The sample rates a start accepts: those capture and the conversion stream take.
    static constexpr int32_t kMinSampleRate = 1000;
    static constexpr int32_t kMaxSampleRate = 96000;
    // The rate a sample-rate text names, or nothing when it is not a whole number within
    // kMinSampleRate .. kMaxSampleRate.
    static std::optional<int32_t> ParseSampleRate(const QString& text);
    // What the user is told about an unusable sample-rate text.
    static QString BadSampleRateText();

    void Load();
    bool Start(const StartSettings& settings);
    void Stop(StopCause cause = StopCause::Asked);
    void GotData(std::span<int16_t> intBuffer, int32_t lngLen);
    void DeviceLost();
    void Unload();

    // Stop after this many frames of every later recording; 0 = no limit.
    void StopAfterFrames(int64_t frames) { frameLimit_ = frames; }
    // Stop a recording that receives nothing for this long (ms); 0 = never.
    void NoDataTimeout(int32_t ms) { noDataMs_ = ms; }
    // Go on in a new file after this many frames; 0 = only at the size limit. Takes effect
    // at the next start.
    void MaxFileFrames(int64_t frames) { maxFileFrames_ = frames; }
    int64_t MaxFileFrames() const { return maxFileFrames_; }
    // Whether recordings go to numbered files and the counter file (the default); see above.
    // Set before Load.
    void UseNumberedFiles(bool numbered) { numbered_ = numbered; }

    // The numbered name follows the file type of the encoder's output format (a format of
    // another type chosen: "录音N.flac"). Idle, the prepared empty file is renamed (or, when
    // it cannot be, the first free number of the new type claimed) and OutputChanged tells.
    void FollowOutputType();

    void Pause();
    void Resume();
    bool IsPaused() const { return paused_; }

    bool IsRecording() const;
    bool IsUnloaded() const { return unloaded_; }

    // The objects it owns (null after Unload for capture and the encoder).
    WaveInRecorder& Recorder() { return *clsRecorder; }
    EncoderWAV& Encoder() { return *clsEncoder; }
    clsDSP& Effects() { return *clsEffects; }
    const OutputNaming& Naming() const { return naming_; }

    // The last captured buffer after the effects (1024 zero samples until the first one).
    const std::vector<int16_t>& LastBuffer() const { return intLastBuffer; }
    // Recorded time in ms, summed from buffer lengths; 0 while idle.
    int64_t ElapsedMs() const { return lngElapsedMs; }
    // Bytes per second of the captured PCM while recording; 0 while idle.
    int32_t BytesPerSec() const { return lngBytesPerSec; }
    // The number of the current (next) numbered recording.
    int16_t FileCounter() const { return intFileCounter; }
    // Bytes in the file being recorded (0 while idle).
    uint64_t FileSize() const;
    // Audio capture had to drop during the running recording, or during the last one
    // until the next start.
    uint32_t Overruns() const;
    // Recorded buffers of the running (or last) recording that reached full scale.
    uint32_t ClippedBuffers() const { return clippedBuffers_; }
    // Steady-clock time (ns) of the last full-scale sample on channel 0 (left) or 1
    // (right; in mono the same as left); 0 when none since the start.
    int64_t LastClipNs(int channel) const { return lastClipNs_[channel == 0 ? 0 : 1]; }
    // Frames that went to the files of the running (or last) recording.
    int64_t FramesRecorded() const { return frames_; }
    // Encoder results other than success (write failures apart) in the running (or last)
    // recording: pieces of audio that did not reach the file.
    uint32_t EncodeFailures() const { return encodeFailures_; }
    // The file being recorded (or the last one), "" before the first.
    const QString& OutputPath() const { return output_; }

private:
    void Tell(const QString& text, Caption caption);
    void TellFatal(const QString& text);
    void SaveCounterOrTell();
    // The next free number after the current one, claimed and saved (raises Error).
    void ClaimNextNumber();
    void Advance();
    void CheckData();
    void ScheduleCheck();  // the next CheckData
    void NoteClipping(std::span<const int16_t> samples);
    bool ContinueInNextFile();
    // Stops, then tells `text`; an empty text is the write error of writeError_.
    void StopAfterFailure(const QString& text);
    // Keeps the first write failure of a recording: the file and why (`error`, else the
    // encoder's LastWriteError).
    void NoteWriteFailure(int error = 0);
    void TellWriteError();
    void NoteEncodeFailure(int32_t result);
    void TellEncodeFailure();
    // The most input bytes of `want` the current file takes; sets seamPending_ when it
    // must end after them (on a seam) because of its size limit.
    int32_t RoomInFile(int32_t want);
    void LeaveCallback();
    void ReleaseDevices();

    OutputNaming naming_;
    RecordingListener* listener_ = nullptr;

    std::unique_ptr<WaveInRecorder> clsRecorder;
    std::unique_ptr<EncoderWAV> clsEncoder;
    std::unique_ptr<clsDSP> clsEffects;

    std::vector<int16_t> intLastBuffer;
    int64_t lngElapsedMs = 0;
    int32_t lngBytesPerSec = 0;
    int16_t intFileCounter = 0;

    QString output_;      // the file being recorded
    FileClaim claim_;     // the numbered file for the next recording
    FileClaim chosen_;    // a chosen (not numbered) output while it is recorded
    QString chosenOutput_;  // the chosen output a recording began with ("" for a numbered one)
    bool numbered_ = true;
    int32_t rate_ = 44100;
    int16_t channels_ = 2;
    int64_t frames_ = 0;
    int64_t maxFileFrames_ = 0;
    int64_t fileFrameLimit_ = 0;  // MaxFileFrames rounded down to whole input blocks
    int64_t fileFrames_ = 0;      // frames in the current file
    bool seamPending_ = false;    // the current file is full: the next audio opens a new one
    bool paused_ = false;
    bool pausedOnce_ = false;  // in this recording
    uint32_t clippedBuffers_ = 0;
    int64_t lastClipNs_[2] = {0, 0};
    uint32_t lastOverruns_ = 0;  // of the last recording, kept after its stop
    int64_t frameLimit_ = 0;
    int32_t noDataMs_ = 0;
    int64_t lastDataNs_ = 0;  // steady-clock time of the last buffer
    QObject context_;     // queued calls and timers die with the controller
    QTimer* watch_ = nullptr;  // NoDataTimeout and StopAfterFrames while recording (single shot)
    int callbackDepth_ = 0;        // > 0 while capture's GotData runs
    bool releasePending_ = false;  // Unload came from inside a callback
    bool unloaded_ = false;
    bool fatal_ = false;           // the program is ending: no more messages
    bool stopping_ = false;        // inside Stop: capture hands over its last buffers
    QString failedAtStop_;         // a failure among them, told after the stop
    bool writeFailedAtStop_ = false;  // ... and it is the write error
    // Per recording: failures of the data path.
    uint32_t encodeFailures_ = 0;
    QString encodeFailureText_;    // told once, from the event loop (or after the stop)
    bool encodeFailureTold_ = false;
    bool writeErrorTold_ = false;
    QString writeErrorPath_;       // the file and errno of the first write failure
    int writeError_ = 0;
};

}  // namespace tavrino
