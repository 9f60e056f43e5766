// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A recording in one of the file types besides WAV (core/FileType.h: FLAC, Ogg Opus, Ogg
// Vorbis, MP3), as EncoderWAV writes it: the codec plugin's writer (platform/codecs) encodes
// and muxes, and its bytes come back here to go to the encoder's own file descriptor, so
// that short writes and sizes are seen exactly as for a WAV file.
//
//   - The output may be a file (seekable: the muxer completes its header at the end) or a
//     pipe (not seekable: the header stays as first written, which the formats allow).
//   - Flush ends the open Ogg page and writes out what the muxer holds: after it the file
//     decodes to that point. The encoder flushes after every half second of input.
//   - A write that falls short (a full disk, a reader gone, the size limit) ends the file:
//     it is cut back to the end of the last flush, a whole page or frame, so it decodes.
//
// Threads: the encoder's (one at a time). Encode allocates nothing of its own.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/WaveFormat.h"
#include "platform/codecs/CodecLibrary.h"

namespace tavrino {

class ContainerFile final : public codecs::ByteSink {
public:
    // Opens the writer for `format` (a file type's descriptor: its rate, channels and bit
    // rate) from 16-bit PCM `input`, over `fd` (not owned) from offset `base` on, and writes
    // the container's header. Null with the reason in `why` (the codec plugin missing, the
    // codec refusing the settings, the header write falling short: WriteFailed() then).
    static std::unique_ptr<ContainerFile> Open(int fd, int64_t base, bool seekable, uint64_t maxSize,
                                               const WaveFormat& input, std::span<const uint8_t> format,
                                               std::string& why);
    ~ContainerFile() override;

    // EncOK; EncWriteFailed (a write fell short: the file is cut back, nothing more goes in);
    // EncConvertFailed (the codec failed).
    int32_t Encode(const uint8_t* pcm, int32_t bytes);
    int32_t Flush();
    // The encoder drained, the trailer written. Result as Encode.
    int32_t Finish();

    // Bytes in the output (what a size display shows).
    uint64_t Size() const { return size_; }
    // The most bytes `inputBytes` more input can add, the end included.
    uint64_t WorstBytes(uint64_t inputBytes) const;
    // Output bytes per second of input so far (FLAC's true rate); 0 before a second of input.
    int64_t MeasuredBytesPerSecond() const;
    // Whether a write has fallen short, and why (an errno value: EFBIG at the size limit,
    // ENOSPC when the system took fewer bytes without saying why).
    bool WriteFailed() const { return failed_; }
    int WriteError() const { return writeError_; }

    size_t Write(const uint8_t* data, size_t count) override;
    bool Seek(int64_t offset) override;
    bool Seekable() const override { return seekable_; }

private:
    ContainerFile(int fd, int64_t base, bool seekable, uint64_t maxSize);
    int32_t Result(codecs::FileWriter::Result r);

    std::unique_ptr<codecs::FileWriter> writer_;
    int fd_;
    int64_t base_;
    bool seekable_;
    uint64_t maxSize_;
    uint64_t pos_ = 0;      // where the next write goes, from base_
    uint64_t size_ = 0;     // bytes in the output
    uint64_t flushed_ = 0;  // the size at the end of the last flush: whole pages and frames
    bool failed_ = false;
    int writeError_ = 0;
    int32_t inputFrameBytes_ = 4;
    int32_t inputBytesPerSec_ = 0;
    double outputPerInput_ = 1;  // output PCM bytes per input byte: the rate and channel change
    uint64_t inputBytes_ = 0;
};

}  // namespace tavrino
