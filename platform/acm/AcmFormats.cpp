// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/acm/AcmFormats.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/acm/AcmStream.h"
#include "platform/acm/CodecLoader.h"
#include "platform/codecs/CodecLibrary.h"

namespace tavrino::acm {
namespace {

// The seven coefficient pairs that every Microsoft ADPCM file carries.
constexpr std::array<std::array<int16_t, 2>, 7> kMsCoefficients = {{
    {256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}}};

constexpr int32_t kGsmSamplesPerBlock = 320;
constexpr int16_t kGsmBlockAlign = 65;
constexpr uint16_t kMp3CodecDelay = 1105;  // LAME's encoder delay 576 + decoder delay 529, samples

bool IsPowerOfTwo(int32_t v) { return v > 0 && (v & (v - 1)) == 0; }

int32_t ImaSamplesPerBlock(int32_t blockAlign, int16_t channels) {
    return (blockAlign - 4 * channels) * 8 / (4 * channels) + 1;
}

int32_t MsSamplesPerBlock(int32_t blockAlign, int16_t channels) {
    return (blockAlign - 7 * channels) * 8 / (4 * channels) + 2;
}

int32_t AdpcmSamplesPerBlock(uint16_t tag, int32_t blockAlign, int16_t channels) {
    return tag == WAVE_FORMAT_ADPCM ? MsSamplesPerBlock(blockAlign, channels)
                                    : ImaSamplesPerBlock(blockAlign, channels);
}

// The extra bytes of an ADPCM descriptor: the samples per block; for Microsoft ADPCM
// then the number of coefficient pairs and the pairs.
std::vector<uint8_t> AdpcmExtra(uint16_t tag, int32_t blockAlign, int16_t channels) {
    const bool ms = tag == WAVE_FORMAT_ADPCM;
    std::vector<uint8_t> extra(ms ? 4 + 4 * kMsCoefficients.size() : 2);
    WaveFormat::WriteU16(extra.data(), static_cast<uint16_t>(AdpcmSamplesPerBlock(tag, blockAlign, channels)));
    if (!ms) return extra;
    WaveFormat::WriteU16(extra.data() + 2, static_cast<uint16_t>(kMsCoefficients.size()));
    for (size_t i = 0; i < kMsCoefficients.size(); ++i) {
        WaveFormat::WriteU16(extra.data() + 4 + 4 * i, static_cast<uint16_t>(kMsCoefficients[i][0]));
        WaveFormat::WriteU16(extra.data() + 6 + 4 * i, static_cast<uint16_t>(kMsCoefficients[i][1]));
    }
    return extra;
}

// MPEG version of a Layer-3 rate: 1 (MPEG-1), 2 (MPEG-2), 3 (MPEG-2.5), 0 none.
int Mp3Version(int32_t rate) {
    switch (rate) {
        case 32000: case 44100: case 48000: return 1;
        case 16000: case 22050: case 24000: return 2;
        case 8000: case 11025: case 12000: return 3;
        default: return 0;
    }
}

// The bit rates (kbit/s) that LAME encodes without rounding, per MPEG version.
std::span<const int32_t> Mp3Bitrates(int version) {
    static constexpr int32_t kV1[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static constexpr int32_t kV2[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static constexpr int32_t kV25[] = {8, 16, 24, 32, 40, 48, 56, 64};
    switch (version) {
        case 1: return kV1;
        case 2: return kV2;
        case 3: return kV25;
        default: return {};
    }
}

int32_t Mp3FrameBytes(int32_t rate, int32_t kbps) {
    const int32_t factor = Mp3Version(rate) == 1 ? 144 : 72;
    return static_cast<int32_t>(static_cast<int64_t>(factor) * kbps * 1000 / rate);
}

// libavcodec's encoder of a codec tag; null for the PCM kinds, which need none.
const char* EncoderName(uint16_t tag) {
    switch (tag) {
        case WAVE_FORMAT_GSM610: return "libgsm_ms";
        case WAVE_FORMAT_MPEGLAYER3: return "libmp3lame";
        case WAVE_FORMAT_IMA_ADPCM: return "adpcm_ima_wav";
        case WAVE_FORMAT_ADPCM: return "adpcm_ms";
        case WAVE_FORMAT_ALAW: return "pcm_alaw";
        case WAVE_FORMAT_MULAW: return "pcm_mulaw";
        default: return nullptr;
    }
}

bool NeedsCodecLibrary(uint16_t tag) { return EncoderName(tag) || FileTypeOfTag(tag) != FileType::Wav; }

// Whether the tag's encoder (and for a file type its muxer) is there. The PCM kinds need no
// codec library; the others load it. When it cannot be loaded they are taken as present:
// the choice of one says why it cannot be used (CodecLibraryProblem), and opening fails.
bool HaveEncoder(uint16_t tag) {
    if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) return true;
    if (!NeedsCodecLibrary(tag)) return false;
    const codecs::Library* library = CodecLibrary();
    if (!library) return true;
    switch (FileTypeOfTag(tag)) {
        case FileType::Flac: return library->HaveContainer(codecs::Container::Flac);
        case FileType::Opus: return library->HaveContainer(codecs::Container::OggOpus);
        case FileType::Vorbis: return library->HaveContainer(codecs::Container::OggVorbis);
        case FileType::Mp3: return library->HaveContainer(codecs::Container::Mp3);
        case FileType::Wav: break;
    }
    return library->HaveEncoder(EncoderName(tag));
}

constexpr int32_t kOpusRate = 48000;
constexpr int32_t kOpusBitrates[] = {24, 32, 64, 96, 128};
constexpr int32_t kOpusSpeechKbps = 32;
constexpr int32_t kVorbisBitrates[] = {32, 48, 64, 96, 128, 160, 192, 256};

// The bit rates libvorbis 1.3 encodes (kbit/s), lowest and highest, at a rate and channel
// count; {0, 0} where it encodes none of ours.
std::pair<int32_t, int32_t> VorbisRange(int32_t rate, int16_t channels) {
    const bool mono = channels == 1;
    switch (rate) {
        case 8000: return mono ? std::pair{32, 32} : std::pair{32, 64};
        case 11025: return mono ? std::pair{32, 48} : std::pair{32, 96};
        case 16000: return mono ? std::pair{32, 96} : std::pair{32, 192};
        case 22050: return mono ? std::pair{32, 64} : std::pair{32, 160};
        case 32000: return mono ? std::pair{32, 160} : std::pair{48, 256};
        case 44100:
        case 48000: return mono ? std::pair{32, 192} : std::pair{48, 256};
        default: return {0, 0};
    }
}

// The usual bit rate (kbit/s) of a lossy file type at a channel count.
int32_t UsualKbps(FileType type, int16_t channels) {
    switch (type) {
        case FileType::Opus: return channels == 1 ? kOpusSpeechKbps : 96;
        case FileType::Vorbis: return channels == 1 ? 64 : 128;
        case FileType::Mp3: return channels == 1 ? 64 : 128;
        default: return 0;
    }
}

bool InRange(int32_t rate, int16_t channels, int16_t maxChannels) {
    return rate >= kMinRate && rate <= kMaxRate && channels >= 1 && channels <= maxChannels;
}

}  // namespace

WaveFormat PcmFormat(int32_t rate, int16_t channels, int16_t bits) { return WaveFormat::Pcm(rate, channels, bits); }

WaveFormat FloatFormat(int32_t rate, int16_t channels) {
    WaveFormat f = WaveFormat::Pcm(rate, channels, 32);
    f.FormatTag(WAVE_FORMAT_IEEE_FLOAT);
    return f;
}

WaveFormat ALawFormat(int32_t rate, int16_t channels) {
    WaveFormat f = WaveFormat::Pcm(rate, channels, 8);
    f.FormatTag(WAVE_FORMAT_ALAW);
    return f;
}

WaveFormat MuLawFormat(int32_t rate, int16_t channels) {
    WaveFormat f = ALawFormat(rate, channels);
    f.FormatTag(WAVE_FORMAT_MULAW);
    return f;
}

int32_t AdpcmBlockAlign(int32_t rate, int16_t channels) { return 256 * channels * std::max(1, rate / 11025); }

namespace {

// The two ADPCM descriptors differ only in their tag and in how many samples a block
// holds (with the extra bytes that say so); the data rate follows from the block.
WaveFormat AdpcmFormat(uint16_t tag, int32_t rate, int16_t channels) {
    const int32_t align = AdpcmBlockAlign(rate, channels);
    const int32_t spb = AdpcmSamplesPerBlock(tag, align, channels);
    WaveFormat f;
    f.FormatTag(tag);
    f.Channels(channels);
    f.SamplesPerSec(rate);
    f.AvgBytesPerSec(static_cast<int32_t>(static_cast<int64_t>(rate) * align / spb));
    f.BlockAlign(static_cast<int16_t>(align));
    f.BitsPerSample(4);
    f.SetExtra(AdpcmExtra(tag, align, channels));
    return f;
}

}  // namespace

WaveFormat ImaAdpcmFormat(int32_t rate, int16_t channels) { return AdpcmFormat(WAVE_FORMAT_IMA_ADPCM, rate, channels); }

WaveFormat MsAdpcmFormat(int32_t rate, int16_t channels) { return AdpcmFormat(WAVE_FORMAT_ADPCM, rate, channels); }

WaveFormat Gsm610Format() {
    WaveFormat f;
    f.FormatTag(WAVE_FORMAT_GSM610);
    f.Channels(1);
    f.SamplesPerSec(8000);
    f.AvgBytesPerSec(8000 * kGsmBlockAlign / kGsmSamplesPerBlock);  // 1625
    f.BlockAlign(kGsmBlockAlign);
    f.BitsPerSample(0);
    uint8_t extra[2];
    WaveFormat::WriteU16(extra, kGsmSamplesPerBlock);
    f.SetExtra(extra);
    return f;
}

WaveFormat Mp3Format(int32_t rate, int16_t channels, int32_t kbps) {
    WaveFormat f;
    f.FormatTag(WAVE_FORMAT_MPEGLAYER3);
    f.Channels(channels);
    f.SamplesPerSec(rate);
    f.AvgBytesPerSec(kbps * 1000 / 8);
    f.BlockAlign(1);
    f.BitsPerSample(0);
    uint8_t extra[12];
    WaveFormat::WriteU16(extra, 1);  // MPEGLAYER3_ID_MPEG
    WaveFormat::WriteU32(extra + 2, 0);  // MPEGLAYER3_FLAG_PADDING_ISO
    WaveFormat::WriteU16(extra + 6, static_cast<uint16_t>(Mp3FrameBytes(rate, kbps)));
    WaveFormat::WriteU16(extra + 8, 1);  // frames per block
    WaveFormat::WriteU16(extra + 10, kMp3CodecDelay);
    f.SetExtra(extra);
    return f;
}

WaveFormat FlacFileFormat(int32_t rate, int16_t channels) {
    WaveFormat f = WaveFormat::Pcm(rate, channels, 16);
    f.FormatTag(WAVE_FORMAT_FLAC);
    return f;
}

WaveFormat LossyFileFormat(FileType type, int32_t rate, int16_t channels, int32_t kbps) {
    WaveFormat f;
    f.FormatTag(TagOfFileType(type));
    f.Channels(channels);
    f.SamplesPerSec(rate);
    f.AvgBytesPerSec(kbps * 1000 / 8);
    f.BlockAlign(1);
    f.BitsPerSample(0);
    return f;
}

std::string TagName(uint16_t tag) {
    switch (tag) {
        case WAVE_FORMAT_FLAC: return "FLAC";
        case WAVE_FORMAT_OPUS: return "Opus";
        case WAVE_FORMAT_OGG_VORBIS: return "Vorbis";
        case WAVE_FORMAT_MP3_FILE: return "MP3";
        case WAVE_FORMAT_PCM: return "PCM";
        case WAVE_FORMAT_IEEE_FLOAT: return "IEEE Float";
        case WAVE_FORMAT_ALAW: return "CCITT A-Law";
        case WAVE_FORMAT_MULAW: return "CCITT u-Law";
        case WAVE_FORMAT_IMA_ADPCM: return "IMA ADPCM";
        case WAVE_FORMAT_ADPCM: return "Microsoft ADPCM";
        case WAVE_FORMAT_GSM610: return "GSM 6.10";
        case WAVE_FORMAT_MPEGLAYER3: return "MPEG Layer-3";
        default: return "";
    }
}

std::string Describe(const WaveFormat& format) {
    const int32_t rate = format.SamplesPerSec();
    char text[96];
    std::string channels;
    switch (format.Channels()) {
        case 1: channels = "Mono"; break;
        case 2: channels = "Stereo"; break;
        default: channels = std::to_string(format.Channels()) + " Channels"; break;
    }
    const FileType type = FileTypeOfTag(format.FormatTag());
    if (format.FormatTag() == WAVE_FORMAT_MPEGLAYER3 || (type != FileType::Wav && type != FileType::Flac)) {
        const auto kbps = static_cast<int>(static_cast<int64_t>(format.AvgBytesPerSec()) * 8 / 1000);
        const bool speech = type == FileType::Opus && kbps == kOpusSpeechKbps && format.Channels() == 1;
        std::snprintf(text, sizeof text, "%d.%03d kHz, %d kBit/s, %s%s", rate / 1000, rate % 1000, kbps,
                      channels.c_str(), speech ? ", Speech" : "");
    } else if (format.BitsPerSample() == 0) {
        std::snprintf(text, sizeof text, "%d.%03d kHz, %s", rate / 1000, rate % 1000, channels.c_str());
    } else {
        std::snprintf(text, sizeof text, "%d.%03d kHz, %d Bit, %s", rate / 1000, rate % 1000,
                      format.BitsPerSample(), channels.c_str());
    }
    return text;
}

bool IsSourceSupported(const WaveFormat& source) {
    if (!source.IsWellFormed()) return false;
    const int16_t ch = source.Channels();
    const int16_t bits = source.BitsPerSample();
    if (!InRange(source.SamplesPerSec(), ch, kMaxChannels)) return false;
    if (source.FormatTag() == WAVE_FORMAT_PCM) {
        if (bits != 8 && bits != 16 && bits != 32) return false;
    } else if (source.FormatTag() == WAVE_FORMAT_IEEE_FLOAT) {
        if (bits != 32) return false;
    } else {
        return false;
    }
    return source.BlockAlign() == ch * bits / 8;
}

MMRESULT CheckConversion(const WaveFormat& source, std::span<const uint8_t> destination) {
    if (!IsSourceSupported(source)) return ACMERR_NOTPOSSIBLE;
    if (destination.size() < WaveFormat::kBaseSize) return ACMERR_NOTPOSSIBLE;
    const WaveFormat dst(destination.first(WaveFormat::kBaseSize));
    const size_t extraSize = WaveFormat::ReadU16(destination, 16);
    if (destination.size() < WaveFormat::kBaseSize + extraSize) return ACMERR_NOTPOSSIBLE;
    const std::span<const uint8_t> extra = destination.subspan(WaveFormat::kBaseSize, extraSize);

    const uint16_t tag = dst.FormatTag();
    const int32_t rate = dst.SamplesPerSec();
    const int16_t ch = dst.Channels();
    const int16_t bits = dst.BitsPerSample();
    const int32_t align = static_cast<uint16_t>(dst.BlockAlign());
    bool ok = false;
    switch (tag) {
        case WAVE_FORMAT_PCM:
            ok = InRange(rate, ch, kMaxChannels) && (bits == 8 || bits == 16 || bits == 24 || bits == 32) &&
                 align == ch * bits / 8;
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            ok = InRange(rate, ch, kMaxChannels) && bits == 32 && align == ch * 4;
            break;
        case WAVE_FORMAT_ALAW:
        case WAVE_FORMAT_MULAW:
            ok = InRange(rate, ch, kMaxChannels) && bits == 8 && align == ch;
            break;
        case WAVE_FORMAT_IMA_ADPCM:
            ok = InRange(rate, ch, 2) && bits == 4 && IsPowerOfTwo(align) && align >= 32 && align <= 8192 &&
                 extra.size() >= 2 && WaveFormat::ReadU16(extra, 0) == ImaSamplesPerBlock(align, ch);
            break;
        case WAVE_FORMAT_ADPCM: {
            const std::vector<uint8_t> expected = AdpcmExtra(WAVE_FORMAT_ADPCM, align, ch);
            ok = InRange(rate, ch, 2) && bits == 4 && IsPowerOfTwo(align) && align >= 32 && align <= 8192 &&
                 extra.size() >= expected.size() && std::equal(expected.begin(), expected.end(), extra.begin());
            break;
        }
        case WAVE_FORMAT_GSM610:
            ok = rate == 8000 && ch == 1 && align == kGsmBlockAlign && extra.size() >= 2 &&
                 WaveFormat::ReadU16(extra, 0) == kGsmSamplesPerBlock;
            break;
        case WAVE_FORMAT_MPEGLAYER3: {
            const int version = Mp3Version(rate);
            const int64_t bitRate = static_cast<int64_t>(static_cast<uint32_t>(dst.AvgBytesPerSec())) * 8;
            const auto rates = Mp3Bitrates(version);
            ok = version != 0 && ch >= 1 && ch <= 2 && extra.size() >= 12 && WaveFormat::ReadU16(extra, 0) == 1 &&
                 bitRate % 1000 == 0 && std::find(rates.begin(), rates.end(), bitRate / 1000) != rates.end() &&
                 (align == 1 || align == WaveFormat::ReadU16(extra, 6));
            break;
        }
        case WAVE_FORMAT_FLAC:
            ok = InRange(rate, ch, 2) && bits == 16 && align == ch * 2 && dst.AvgBytesPerSec() == rate * align;
            break;
        case WAVE_FORMAT_OPUS:
        case WAVE_FORMAT_OGG_VORBIS:
        case WAVE_FORMAT_MP3_FILE: {
            const int64_t bitRate = static_cast<int64_t>(static_cast<uint32_t>(dst.AvgBytesPerSec())) * 8;
            const int64_t kbps = bitRate / 1000;
            bool rateOk = false;
            if (tag == WAVE_FORMAT_OPUS) {
                rateOk = rate == kOpusRate && std::find(std::begin(kOpusBitrates), std::end(kOpusBitrates), kbps) !=
                                                  std::end(kOpusBitrates);
            } else if (tag == WAVE_FORMAT_OGG_VORBIS) {
                const auto [low, high] = VorbisRange(rate, ch);
                rateOk = kbps >= low && kbps <= high && low > 0;
            } else {
                const auto rates = Mp3Bitrates(Mp3Version(rate));
                rateOk = std::find(rates.begin(), rates.end(), kbps) != rates.end();
            }
            ok = rateOk && bitRate % 1000 == 0 && ch >= 1 && ch <= 2;
            break;
        }
        default:
            ok = false;
    }
    if (!ok || !HaveEncoder(tag)) return ACMERR_NOTPOSSIBLE;
    return MMSYSERR_NOERROR;
}

std::string CodecLibraryProblem(std::span<const uint8_t> descriptor) {
    if (descriptor.size() < 2) return {};
    if (!NeedsCodecLibrary(WaveFormat::ReadU16(descriptor, 0))) return {};
    std::string why;
    return CodecLibrary(&why) ? std::string() : why;
}

std::vector<uint16_t> CatalogueTags() {
    return {WAVE_FORMAT_PCM,      WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_ALAW,      WAVE_FORMAT_MULAW,
            WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM,     WAVE_FORMAT_GSM610,    WAVE_FORMAT_MPEGLAYER3,
            WAVE_FORMAT_FLAC,     WAVE_FORMAT_OPUS,       WAVE_FORMAT_OGG_VORBIS, WAVE_FORMAT_MP3_FILE};
}

std::vector<FormatTagChoices> EnumerateFormats(const WaveFormat& pcmInput, uint16_t onlyTag) {
    std::vector<FormatTagChoices> tags;
    if (!IsSourceSupported(pcmInput)) return tags;

    static constexpr int32_t kPcmRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
    static constexpr int32_t kCodecRates[] = {8000, 11025, 22050, 44100, 48000};
    static constexpr int32_t kMp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

    auto add = [&](uint16_t tag, const WaveFormat& f, bool usual = false) {
        if (onlyTag != 0 && tag != onlyTag) return;
        if (CheckConversion(pcmInput, f.bytes()) != MMSYSERR_NOERROR) return;
        if (tags.empty() || tags.back().tag != tag) tags.push_back({tag, TagName(tag), {}});
        tags.back().formats.push_back({f, Describe(f), f.AvgBytesPerSec(), usual});
    };
    for (int32_t rate : kPcmRates)
        for (int16_t bits : {int16_t{8}, int16_t{16}, int16_t{24}, int16_t{32}})
            for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_PCM, PcmFormat(rate, ch, bits));
    for (int32_t rate : kPcmRates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_IEEE_FLOAT, FloatFormat(rate, ch));
    for (int32_t rate : kCodecRates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_ALAW, ALawFormat(rate, ch));
    for (int32_t rate : kCodecRates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_MULAW, MuLawFormat(rate, ch));
    for (int32_t rate : kCodecRates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_IMA_ADPCM, ImaAdpcmFormat(rate, ch));
    for (int32_t rate : kCodecRates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_ADPCM, MsAdpcmFormat(rate, ch));
    add(WAVE_FORMAT_GSM610, Gsm610Format());
    for (int32_t rate : kMp3Rates)
        for (int32_t kbps : Mp3Bitrates(Mp3Version(rate)))
            for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_MPEGLAYER3, Mp3Format(rate, ch, kbps));

    // The file types besides WAV.
    for (int32_t rate : kPcmRates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) add(WAVE_FORMAT_FLAC, FlacFileFormat(rate, ch));
    auto addLossy = [&](FileType type, int32_t rate, int32_t kbps, int16_t ch) {
        add(TagOfFileType(type), LossyFileFormat(type, rate, ch, kbps), kbps == UsualKbps(type, ch));
    };
    for (int32_t kbps : kOpusBitrates)
        for (int16_t ch : {int16_t{1}, int16_t{2}}) addLossy(FileType::Opus, kOpusRate, kbps, ch);
    for (int32_t rate : kMp3Rates)
        for (int32_t kbps : kVorbisBitrates)
            for (int16_t ch : {int16_t{1}, int16_t{2}}) addLossy(FileType::Vorbis, rate, kbps, ch);
    for (int32_t rate : kMp3Rates)
        for (int32_t kbps : Mp3Bitrates(Mp3Version(rate)))
            for (int16_t ch : {int16_t{1}, int16_t{2}}) addLossy(FileType::Mp3, rate, kbps, ch);
    return tags;
}

}  // namespace tavrino::acm
