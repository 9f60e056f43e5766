// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Output formats of the conversion stream: byte-exact WAVEFORMATEX descriptors, the check
// that tells whether a descriptor can be produced from a PCM input, and the catalogue that
// the format chooser shows (a list of tags, and for each tag its attributes).
//
// Descriptors are built as other programs write and expect them:
//
//   format            tag     bits  block alignment                extra bytes (size)
//   PCM               0x0001  8/16/24/32  channels x bits / 8      none (0)
//   IEEE float        0x0003  32    channels x 4                   none (0)
//   CCITT A-Law       0x0006  8     channels                       none (0)
//   CCITT u-Law       0x0007  8     channels                       none (0)
//   IMA ADPCM         0x0011  4     256 x channels x max(1, rate / 11025)
//                                                                  samples per block (2)
//   Microsoft ADPCM   0x0002  4     as IMA ADPCM                   samples per block, 7, the
//                                                                  7 standard coefficient
//                                                                  pairs (32)
//   GSM 6.10          0x0031  0     65 (8000 Hz mono only)         320 samples per block (2)
//   MPEG Layer-3      0x0055  0     1                              MPEGLAYER3WAVEFORMAT (12):
//                                                                  id 1, flags 0 (ISO padding),
//                                                                  frame size, 1 frame per
//                                                                  block, codec delay 1105
//
// The average bytes per second is the true data rate: rate x block alignment for the PCM
// kinds, rate x block alignment / samples per block for the ADPCM kinds, the bit rate / 8
// for MPEG Layer-3.
//
// The other file types (core/FileType.h) have descriptors of their own that only say what
// the file holds; they never go into a WAV file:
//   FLAC file         0xF1AC  16    channels x 2     none   average = rate x block alignment
//   Ogg Opus file     0x704F  0     1                none   48000 Hz only; average = bit rate / 8
//   Ogg Vorbis file   0x674F  0     1                none   average = bit rate / 8
//   MP3 file          0x5033  0     1                none   average = bit rate / 8
// The catalogue offers FLAC at the PCM rates, Opus at 24, 32 (mono: the speech choice), 64,
// 96 and 128 kbit/s, Vorbis at the bit rates libvorbis encodes at each rate and channel
// count, MP3 at the rates and bit rates of MPEG Layer-3.
//
// Thread safety: every function here is pure (or reads the codec registry) and may be
// called from any thread.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/FileType.h"
#include "core/WaveFormat.h"
#include "platform/MmResult.h"

namespace tavrino::acm {

// Limits of the stream, for source and destination alike.
inline constexpr int32_t kMinRate = 1000;     // Hz
inline constexpr int32_t kMaxRate = 384000;   // Hz
inline constexpr int16_t kMaxChannels = 8;

// Descriptor builders. Each gives exactly the bytes described above.
WaveFormat PcmFormat(int32_t rate, int16_t channels, int16_t bits);
WaveFormat FloatFormat(int32_t rate, int16_t channels);
WaveFormat ALawFormat(int32_t rate, int16_t channels);
WaveFormat MuLawFormat(int32_t rate, int16_t channels);
WaveFormat ImaAdpcmFormat(int32_t rate, int16_t channels);
WaveFormat MsAdpcmFormat(int32_t rate, int16_t channels);
WaveFormat Gsm610Format();                         // 8000 Hz mono
WaveFormat Mp3Format(int32_t rate, int16_t channels, int32_t kbps);
WaveFormat FlacFileFormat(int32_t rate, int16_t channels);
// The descriptor of a lossy file type (Opus, Vorbis, MP3 file) at a bit rate in kbit/s.
WaveFormat LossyFileFormat(FileType type, int32_t rate, int16_t channels, int32_t kbps);

// Bytes per block for the ADPCM kinds at this rate and channel count.
int32_t AdpcmBlockAlign(int32_t rate, int16_t channels);

// The tag's name as the chooser shows it: "PCM", "IEEE Float", "CCITT A-Law",
// "CCITT u-Law", "IMA ADPCM", "Microsoft ADPCM", "GSM 6.10", "MPEG Layer-3", and the
// file types "FLAC", "Opus", "Vorbis", "MP3";
// "" for a tag the stream does not know.
std::string TagName(uint16_t tag);

// The attribute text: "44.100 kHz, 16 Bit, Stereo"; formats without a sample size leave
// the bits out ("8.000 kHz, Mono"), MPEG Layer-3 gives its bit rate in their place
// ("44.100 kHz, 128 kBit/s, Stereo"), as do the lossy file types; Opus at 32 kbit/s mono
// adds ", Speech". More than two channels read "N Channels".
std::string Describe(const WaveFormat& format);

// Whether a stream can read this source: PCM 8, 16 or 32 bits or IEEE float 32 bits,
// kMinRate..kMaxRate, 1..kMaxChannels channels, block alignment and extra size that fit.
bool IsSourceSupported(const WaveFormat& source);

// Whether a stream can produce this destination descriptor (the bytes as given, of their
// given length) from the source: the block holds 18 + extra size bytes, the tag is known,
// rate and channels are within the tag's range, bits, block alignment and extra bytes fit
// the tag (see the table above), and the codec is present in this build of libavcodec.
// Only the given bytes are read. Returns 0 (MMSYSERR_NOERROR) or 512 (ACMERR_NOTPOSSIBLE).
MMRESULT CheckConversion(const WaveFormat& source, std::span<const uint8_t> destination);

// Why a format cannot be used because the codec library (CodecLoader.h) does not load, in
// Chinese; "" when the format needs no codec library (the PCM kinds) or the library loads.
// Loads the library for a format that needs it: say this when a format is chosen.
std::string CodecLibraryProblem(std::span<const uint8_t> descriptor);

// One attribute entry of the chooser.
struct FormatChoice {
    WaveFormat format;           // the byte-exact descriptor
    std::string description;     // "44.100 kHz, 16 Bit, Stereo"
    int32_t bytesPerSecond = 0;  // the data rate, = format.AvgBytesPerSec()
    bool usual = false;          // the file type's usual bit rate at its channel count
};

// One tag of the chooser with its attribute entries, in display order.
struct FormatTagChoices {
    uint16_t tag = 0;
    std::string name;  // TagName(tag)
    std::vector<FormatChoice> formats;
};

// Everything that a stream can produce from the given PCM input, grouped by tag, in the
// order PCM, IEEE Float, CCITT A-Law, CCITT u-Law, IMA ADPCM, Microsoft ADPCM, GSM 6.10,
// MPEG Layer-3, then the file types FLAC, Opus, Vorbis, MP3; within a tag by rate, then
// bits or bit rate, then mono before stereo.
// Tags whose codec is missing from libavcodec are left out. Empty when the input is not
// a PCM format that a stream can read.
// With `onlyTag` (not 0) the entries of that tag alone: the PCM kinds then load no codec
// library.
std::vector<FormatTagChoices> EnumerateFormats(const WaveFormat& pcmInput, uint16_t onlyTag = 0);

// Every tag of the catalogue in its order, whatever the input and the codecs present.
std::vector<uint16_t> CatalogueTags();

}  // namespace tavrino::acm
