// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// EncoderWAV: the output stage of a recording. Every captured 16-bit PCM buffer passes
// through a conversion stream (platform/acm) into the chosen output format and is appended
// to a RIFF/WAVE file (or, with WriteHeader off, to a bare stream file).
//
// Calling order: construct; optionally choose a format (SetFormat, SetPCMFormat,
// SelectFormat); Encoder_EncoderInit; any number of Encoder_Encode; Encoder_EncoderClose;
// again Encoder_EncoderInit for the next file. Destruction closes an open file.
//
// File layout with WriteHeader on (L = output format length, little-endian):
//   0 "RIFF" | 4 file size - 8 | 8 "WAVE" | 12 "fmt " | 16 L | 20 the L descriptor bytes |
//   20+L "data" | 24+L file size - (28 + L) | 28+L the converted audio
// No other chunk and no pad byte. An empty default recording is 46 bytes.
//
// Keeping recordings safe:
//   - The header is written in full when the file opens (sizes of an empty file) and the
//     RIFF and data sizes are rewritten in place after every half second of input, so a
//     crash or a power cut leaves a file whose sizes cover what was written up to then.
//     The layout at close is the one above.
//   - A block-aligned conversion may leave input bytes that do not complete an output
//     block (IMA/Microsoft ADPCM, GSM 6.10). They are kept and converted before the next
//     buffer, and the flush at close converts the last of them (the last block padded with
//     silence), so every captured sample reaches the file. A file whose input is a whole
//     number of Encoder_SeamBlock() closes without padding.
//   - Every failure to get the end of the file onto the disk (the flushed bytes, the final
//     header, fdatasync, close) is Encoder_EncoderClose's result, never only a log line.
//   - A write that would take the file past MaxFileSize() (4 GiB - 1, the RIFF limit) is
//     refused as a short write: Encoder_Encode returns EncWriteFailed and the file stays
//     valid. A write that the disk cuts short is trimmed back to whole output blocks.
//   - A malformed output descriptor, or one the stream cannot produce, is refused when the
//     stream opens: Encoder_EncoderInit returns EncFormatError. Descriptors are never read
//     past their length.
//   - The output format is taken when the file opens; the header at close is written with
//     that format even if the format is changed meanwhile.
//
// Other file types: a format whose tag names a FLAC, Ogg Opus, Ogg Vorbis or MP3 file
// (core/FileType.h, offered by the chooser after the WAV formats) makes the file that type
// instead of a WAV file (ContainerFile.h): the same operations, sizes and results; the
// half-second header refresh becomes a flush of whole pages and frames, so a killed
// recording decodes to within a second of its end. WriteHeader applies to WAV only.
//
// Paths are UTF-8 and passed to POSIX open() as they are; "-" (kStandardOutput) is the
// program's standard output, which may be a pipe: a WAV header then states the largest
// sizes (as streaming writers do) and is completed at the end only where the output seeks.
//
// Threads: one thread (the UI thread) at a time; nothing is locked. Encoder_Encode
// allocates nothing; it blocks only in the file write (and, every half second, two 4-byte
// writes of the sizes). Encoder_EncoderClose waits for the data to reach the disk and says
// when anything of the end of the file (the last bytes, the header, the synchronisation,
// the close) did not get there.
// The operations return result codes and never raise, except the WriteHeader write.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/FileType.h"
#include "core/WaveFormat.h"
#include "encoder/FormatChooser.h"

namespace tavrino {

namespace acm {
class AcmStream;
}
class ContainerFile;

// Results of the encoder operations.
inline constexpr int32_t EncOK = 0;
inline constexpr int32_t EncFileError = 2;        // file not created; close while not open
inline constexpr int32_t EncFormatError = 7;      // rate/channels < 1, or the stream cannot be opened
inline constexpr int32_t EncBufferTooLarge = 8;   // buffer longer than one second of input
inline constexpr int32_t EncConvertFailed = 9;    // conversion failed, no input taken
inline constexpr int32_t EncWriteFailed = 10;     // fewer bytes written than converted
inline constexpr int32_t EncNoFormatChosen = 11;  // the chooser closed without a format

// Raised by WriteHeader(bool) while open: 90 "Encoder already running!".
inline constexpr int32_t kErrEncoderRunning = 90;

class EncoderWAV {
public:
    // Size of the output format byte array after construction and after SelectFormat.
    static constexpr size_t kFormatBufferSize = 131072;
    // The largest file: RIFF sizes are 32-bit.
    static constexpr uint32_t kMaxFileSize = 0xFFFFFFFFu;

    // WriteHeader on; closed; output PCM 44100 Hz stereo 16-bit, FormatID
    // "44.1 kHz 16 Bit Stereo", FormatTag "PCM".
    EncoderWAV();
    // Closes an open file (finalising it); the result is ignored.
    ~EncoderWAV();
    EncoderWAV(const EncoderWAV&) = delete;
    EncoderWAV& operator=(const EncoderWAV&) = delete;

    bool WriteHeader() const { return m_writeHeader; }
    // Raises Error 90 "Encoder already running!" while open; the value stays then.
    void WriteHeader(bool bln);

    // The output standing for standard output.
    static constexpr const char* kStandardOutput = "-";

    // "Wave ACM Encoder" and "wav" while a WAV format is chosen (the default); for the other
    // file types their name ("FLAC Encoder", ...) and extension ("flac", "opus", "ogg", "mp3").
    std::string Encoder_Description() const;
    std::string Encoder_Extension() const;
    // The file type the chosen output format makes.
    FileType OutputFileType() const;

    // Closes any open file, then opens the conversion stream from 16-bit PCM at
    // `samplerate` and `Channels` to the output format, and creates (or replaces) the file
    // at `output` (UTF-8). EncOK; EncFormatError (rate or channels below 1, or the stream
    // refuses the pair of formats: the encoder stays closed); EncFileError (the file cannot
    // be created: the stream is released, the encoder stays closed).
    int32_t Encoder_EncoderInit(int32_t samplerate, int16_t Channels, const std::string& output);

    // Converts `buffer_len` bytes of 16-bit PCM at `buffer_ptr` (after the bytes kept from
    // the previous call) and appends the result. `buffer_used` receives the bytes the
    // conversion took from the source buffer in this call.
    // EncOK; EncBufferTooLarge (buffer_len negative or above Encoder_EncoderMetrics(1);
    // buffer_used untouched, nothing written); EncConvertFailed (not open, a null
    // buffer_ptr with a length, or the conversion failed taking nothing); EncWriteFailed
    // (the write fell short: disk full, file size limit; the encoder stays open).
    int32_t Encoder_Encode(const void* buffer_ptr, int32_t buffer_len, int32_t& buffer_used);

    // Flushes the stream (kept bytes included), writes the final header, waits for the data
    // to reach the disk and closes the file. EncOK; EncFileError when not open;
    // EncWriteFailed when the flushed bytes, the header, the synchronisation or the close
    // failed (LastWriteError says why; the file keeps what could be written);
    // EncConvertFailed when the flush itself failed. Closed afterwards in every case.
    int32_t Encoder_EncoderClose();

    // info 1: the input's average bytes per second (largest buffer_len accepted);
    // info 0: the input's block alignment; both -1 while closed. Other values: 0.
    int32_t Encoder_EncoderMetrics(int32_t info) const;

    std::string FormatTag() const { return m_formatTag; }
    std::string FormatID() const { return m_formatID; }

    // Copies `wfx_len` bytes from `wfx_ptr` as the output format (growing the byte array to
    // exactly `wfx_len` when it is smaller) with the two texts. A null pointer or a negative
    // length changes nothing. The bytes are checked when the stream opens, not here.
    void SetFormat(const void* wfx_ptr, int32_t wfx_len, const std::string& FormatID, const std::string& FormatTag);

    // The 16-bit PCM output format at `samplerate` and `Channels`. An empty FormatID becomes
    // the rate in kHz to one decimal (halves to even, no trailing zeros), " ", "16",
    // " Bit ", then "stereo" (2 channels) or "mono": 44100 Hz stereo gives
    // "44.1 16 Bit stereo". An empty FormatTag becomes "PCM".
    void SetPCMFormat(int32_t samplerate, int16_t Channels, const std::string& FormatID, const std::string& FormatTag);

    // Opens the chooser (see Chooser) titled `Title`, owned by `hwndOwner`, for the formats
    // that 16-bit PCM at `samplerate` / `Channels` converts to. EncOK with the choice taken
    // (byte array reset to kFormatBufferSize bytes, length 18 + the choice's extra size,
    // FormatID = its description, FormatTag = its tag name); EncNoFormatChosen when the user
    // cancels, the chooser fails or no chooser is set, the previous format kept.
    int32_t SelectFormat(int32_t samplerate, int16_t Channels, uintptr_t hwndOwner, const std::string& Title);

    // The chooser SelectFormat opens; not owned, must outlive its use. None by default.
    void Chooser(FormatChooser* chooser) { m_chooser = chooser; }
    FormatChooser* Chooser() const { return m_chooser; }

    // The output format: its meaningful bytes (output format length of them), and the size
    // of the byte array that holds them.
    std::span<const uint8_t> OutputFormat() const;
    size_t OutputFormatCapacity() const { return m_format.size(); }

    bool IsOpen() const { return m_fd != -1; }
    // Bytes per second the output grows by, for the disk's time left: the output format's
    // data rate (the bit rate of the lossy types); for FLAC the rate measured so far, PCM's
    // until a second has been written.
    int64_t Encoder_BytesPerSecond() const;
    // The input bytes that one output block takes while open (a whole number of input
    // frames: one frame for PCM and the formats that convert every frame, a block's worth
    // for IMA and Microsoft ADPCM and GSM 6.10); 0 while closed. A file whose input ends
    // on such a boundary (Encoder_KeptBytes() 0) closes without padding.
    uint32_t Encoder_InputBlock() const;
    // Input bytes taken but not yet converted: fewer than Encoder_InputBlock().
    uint32_t Encoder_KeptBytes() const { return IsOpen() ? m_kept : 0; }
    // The input bytes of a seam: a file whose input is a whole number of them ends on a
    // whole codec frame (an ADPCM or GSM block, an MPEG frame) after the conversion, rate
    // changes included, so that its last frame is not padded. One input frame for PCM at
    // the input's rate. 0 while closed.
    uint32_t Encoder_SeamBlock() const;
    // Input bytes given to the open file so far (0 while closed).
    uint64_t Encoder_InputBytes() const { return IsOpen() ? m_inputBytes : 0; }
    // Whether `buffer_len` more input bytes, and the flush at close, still fit under
    // MaxFileSize() whatever the conversion makes of them. False while closed.
    bool Encoder_Fits(int32_t buffer_len) const;
    // Writes the header's sizes for what the file holds now (a pause in the recording).
    void Encoder_UpdateSizes();
    // Why the last Encoder_EncoderInit could not create its file (an errno value); 0 when it
    // could, or when it failed for another reason.
    int LastFileError() const { return m_lastFileError; }
    // Why the last write that fell short did (an errno value: ENOSPC, EFBIG for the size
    // limit, EIO, ...); 0 when none failed since Encoder_EncoderInit.
    int LastWriteError() const { return m_lastWriteError; }
    // Bytes in the file while open (header included): what a size display shows.
    uint64_t FileSize() const;
    // The path passed to Encoder_EncoderInit while open, else "".
    const std::string& Path() const { return m_path; }

    // The largest file the encoder writes, in bytes; at most kMaxFileSize (the default).
    // Lowered by tests to reach the limit quickly.
    uint32_t MaxFileSize() const { return m_maxFileSize; }
    void MaxFileSize(uint32_t bytes) { m_maxFileSize = bytes; }

private:
    int32_t OpenOutput(const std::string& output);
    int32_t InitContainer(const std::string& output);
    int64_t WriteBytes(const uint8_t* data, size_t count);
    void TrimToBlock();
    void WriteSizes();
    std::vector<uint8_t> HeaderBytes(uint64_t fileSize) const;
    void ReleaseStream();

    // Output format.
    std::vector<uint8_t> m_format;
    int32_t m_formatLen = 0;
    std::string m_formatID;
    std::string m_formatTag;
    FormatChooser* m_chooser = nullptr;
    bool m_writeHeader = true;
    uint32_t m_maxFileSize = kMaxFileSize;

    // While open.
    WaveFormat m_input;
    std::vector<uint8_t> m_openFormat;  // the output format the file was opened with
    std::unique_ptr<acm::AcmStream> m_stream;
    std::vector<uint8_t> m_src;  // kept bytes, then the new buffer
    std::vector<uint8_t> m_dst;
    int32_t m_srcLen = 0;        // one second of input: the largest buffer accepted
    uint32_t m_kept = 0;         // bytes at the start of m_src not yet taken by the stream
    uint32_t m_outBlock = 1;     // bytes of one output block
    int m_fd = -1;
    std::string m_path;
    uint64_t m_fileSize = 0;     // bytes in the file
    uint64_t m_sinceSizes = 0;   // input bytes since the sizes were last rewritten
    bool m_headerWritten = false;
    bool m_seekable = true;      // the output can seek (a file, not a pipe)
    int64_t m_base = 0;          // where the recording starts in the output
    std::unique_ptr<ContainerFile> m_container;  // the file types besides WAV
    int m_lastFileError = 0;
    int m_lastWriteError = 0;
    uint64_t m_inputBytes = 0;   // input bytes given to this file
};

}  // namespace tavrino
