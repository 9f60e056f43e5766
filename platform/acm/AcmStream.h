// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A conversion stream from PCM to an output format, with the contract of the platform's
// audio compression streams: open from a PCM descriptor to an output descriptor, ask for
// the worst-case output of an input size, convert (optionally whole output blocks only,
// saying how much input was taken and how much output was produced), and flush at the end.
//
// Built on libswresample (rate, channel count and sample format) and libavcodec (A-law,
// u-law, IMA ADPCM, Microsoft ADPCM, GSM 6.10, MPEG Layer-3). libavcodec is reached through
// the codec plugin (CodecLoader.h), loaded when the first stream needs a codec: PCM to PCM
// never loads it. See AcmFormats.h for the descriptors it accepts.
//
// How a conversion proceeds:
//   - Input is taken in whole input frames only; a trailing partial frame is never taken.
//   - Output is always whole output blocks (a PCM frame, an ADPCM or GSM block, an MPEG
//     frame) at the start of the destination.
//   - With ACM_STREAMCONVERTF_BLOCKALIGN, when the output rate equals the input rate and
//     the output block holds more than one frame (IMA and Microsoft ADPCM, GSM 6.10), only
//     the input that completes whole blocks is taken; the caller keeps the rest and offers
//     it again with more input. Less than SourceBlockBytes() is left. Otherwise (a rate
//     change, PCM, the G.711 laws, MPEG Layer-3) all whole input frames are taken and what
//     does not yet fill an output block is held inside the stream.
//   - Without BLOCKALIGN all whole input frames are taken; the part that does not fill a
//     block is held inside the stream until more input arrives or the end.
//   - With ACM_STREAMCONVERTF_END the given input is taken, then everything held (the
//     resampler's delay, a partial block padded with silence, the codec's delay) is
//     emitted. The stream is finished then: a later Convert answers ACMERR_NOTPOSSIBLE.
//   - The destination must hold the worst case that Size() gives for the source length
//     offered; a smaller destination is refused with MMSYSERR_INVALPARAM before any input
//     is taken.
//
// Threads: a stream belongs to one thread at a time; nothing is locked. Convert blocks on
// nothing but the CPU. After Open, the stream allocates nothing of its own; libavcodec
// allocates each encoded packet internally (a few hundred bytes to a few kilobytes).

#include <cstdint>
#include <memory>
#include <span>

#include "core/WaveFormat.h"
#include "platform/MmResult.h"

namespace tavrino::acm {

// Results: MMSYSERR_* (platform/MmResult.h) and this.
inline constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;

// Convert flags.
inline constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x04;
inline constexpr uint32_t ACM_STREAMCONVERTF_START = 0x10;  // accepted, no effect
inline constexpr uint32_t ACM_STREAMCONVERTF_END = 0x20;

// One conversion's buffers: the caller fills the pointers and lengths, Convert sets the
// two Used counts (also on failure: what was taken and produced before it).
struct AcmStreamHeader {
    const uint8_t* pbSrc = nullptr;
    uint32_t cbSrcLength = 0;
    uint32_t cbSrcLengthUsed = 0;
    uint8_t* pbDst = nullptr;
    uint32_t cbDstLength = 0;
    uint32_t cbDstLengthUsed = 0;
};

class AcmStream {
public:
    // Opens a stream from the source (see IsSourceSupported) to the destination descriptor
    // (its bytes as given; only those are read). Returns MMSYSERR_NOERROR and sets
    // `stream`, or ACMERR_NOTPOSSIBLE (CheckConversion refused it or the codec would not
    // open with it), MMSYSERR_NOMEM; `stream` is left empty then.
    static MMRESULT Open(std::unique_ptr<AcmStream>& stream, const WaveFormat& source,
                        std::span<const uint8_t> destination);

    ~AcmStream();
    AcmStream(const AcmStream&) = delete;
    AcmStream& operator=(const AcmStream&) = delete;

    // The largest output (bytes) that one Convert of `cbInput` source bytes can produce,
    // what the stream holds from before and the final flush included.
    // MMSYSERR_INVALPARAM if that does not fit 32 bits.
    MMRESULT Size(uint32_t cbInput, uint32_t& cbOutput) const;

    // The input bytes of one output block when BLOCKALIGN may leave input untaken, else
    // the bytes of one input frame. A block-aligned Convert leaves fewer bytes than this.
    uint32_t SourceBlockBytes() const;

    // The input bytes after which the output, flushed at the end, is a whole number of
    // codec frames (an ADPCM or GSM block, an MPEG frame; one frame for PCM and the G.711
    // laws) with nothing padded, the resampler included: the smallest such length when it
    // is at most one second of input, else the input of one codec frame rounded up (such
    // a stream pads a little at the end whatever the length). A stream cut after a whole
    // number of these continues seamlessly in a new stream, except for what the codec
    // itself adds at each start (MPEG Layer-3: the encoder's delay, 1105 samples).
    uint32_t SeamBytes() const;

    // Converts header.cbSrcLength bytes from header.pbSrc into header.pbDst as described
    // above. MMSYSERR_NOERROR; MMSYSERR_INVALPARAM (null buffer with a length, destination
    // below the worst case); ACMERR_NOTPOSSIBLE after the end; MMSYSERR_ERROR when the codec
    // fails.
    MMRESULT Convert(AcmStreamHeader& header, uint32_t flags);

    const WaveFormat& Source() const;
    std::span<const uint8_t> Destination() const;

private:
    struct Impl;
    explicit AcmStream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavrino::acm
