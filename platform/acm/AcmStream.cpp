// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/acm/AcmStream.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "platform/acm/AcmFormats.h"
#include "platform/acm/CodecLoader.h"
#include "platform/codecs/CodecLibrary.h"

namespace tavrino::acm {
namespace {

struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

// Input frames resampled per step: bounds the staging buffer, whatever the input length.
constexpr int kChunkFrames = 4096;
// Output frames the resampler may release beyond the rate ratio (its filter delay), per
// input-rate frame of filter; generous against swr's default 32-tap filter.
constexpr int kResamplerDelayFrames = 256;
// Packets a codec may still emit at the end beyond the input's own (LAME's look-ahead).
constexpr int kCodecTailPackets = 8;

AVSampleFormat SourceSampleFormat(const WaveFormat& f) {
    if (f.FormatTag() == WAVE_FORMAT_IEEE_FLOAT) return AV_SAMPLE_FMT_FLT;
    switch (f.BitsPerSample()) {
        case 8: return AV_SAMPLE_FMT_U8;
        case 16: return AV_SAMPLE_FMT_S16;
        default: return AV_SAMPLE_FMT_S32;
    }
}

// libswresample with the plain channel rules of the platform's PCM converter: mono goes to
// both stereo channels at full level, stereo to mono is the mean of the two.
SwrContext* MakeResampler(int inCh, AVSampleFormat inFmt, int inRate, int outCh, AVSampleFormat outFmt,
                          int outRate) {
    AVChannelLayout inLayout{}, outLayout{};
    av_channel_layout_default(&inLayout, inCh);
    av_channel_layout_default(&outLayout, outCh);
    SwrContext* swr = nullptr;
    const int r = swr_alloc_set_opts2(&swr, &outLayout, outFmt, outRate, &inLayout, inFmt, inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (r < 0 || !swr) return nullptr;
    if (inCh == 1 && outCh == 2) {
        const double m[2] = {1.0, 1.0};
        swr_set_matrix(swr, m, 1);
    } else if (inCh == 2 && outCh == 1) {
        const double m[2] = {0.5, 0.5};
        swr_set_matrix(swr, m, 2);
    }
    if (swr_init(swr) < 0) {
        swr_free(&swr);
        return nullptr;
    }
    return swr;
}

// libavcodec's encoder of a codec tag, or null.
const char* EncoderName(uint16_t tag) {
    switch (tag) {
        case WAVE_FORMAT_ALAW: return "pcm_alaw";
        case WAVE_FORMAT_MULAW: return "pcm_mulaw";
        case WAVE_FORMAT_IMA_ADPCM: return "adpcm_ima_wav";
        case WAVE_FORMAT_ADPCM: return "adpcm_ms";
        case WAVE_FORMAT_GSM610: return "libgsm_ms";
        case WAVE_FORMAT_MPEGLAYER3: return "libmp3lame";
        default: return nullptr;
    }
}

}  // namespace

struct AcmStream::Impl {
    enum class Kind { Copy, Pcm, Codec };

    WaveFormat source;
    std::vector<uint8_t> destination;
    Kind kind = Kind::Copy;
    int inRate = 0, outRate = 0, inCh = 0, outCh = 0;
    uint32_t inAlign = 0;   // bytes per input frame
    uint32_t outAlign = 0;  // bytes per output block
    bool rateChange = false;
    bool pack24 = false;    // PCM 24-bit: resample to 32-bit, keep the top three bytes
    AVSampleFormat midFormat = AV_SAMPLE_FMT_NONE;  // what the resampler produces
    std::unique_ptr<SwrContext, SwrFree> swr;

    std::vector<uint8_t> stagingBytes;
    uint8_t* staging[AV_NUM_DATA_POINTERS] = {};
    int stagingFrames = 0;

    std::unique_ptr<codecs::AudioEncoder> codec;  // from the codec plugin
    std::unique_ptr<AVFrame, FrameFree> frame;
    std::unique_ptr<AVAudioFifo, FifoFree> fifo;
    int frameSize = 0;       // samples per codec frame; 0: any count (the G.711 laws)
    int frameCapacity = 0;   // samples the frame buffer holds
    bool smallLastFrame = false;
    int blockFrames = 0;     // frames per output block that BLOCKALIGN waits for (>1), else 0 or 1
    uint32_t maxPacket = 0;  // bytes of the largest packet
    int64_t pts = 0;
    bool ended = false;

    // The destination of the Convert in progress.
    uint8_t* out = nullptr;
    uint32_t outCap = 0;
    uint32_t outLen = 0;

    MMRESULT OpenCodec();
    bool AllocStaging();
    uint64_t WorstOutput(uint64_t inFrames) const;
    bool PushResampled(const uint8_t* in, int frames);  // frames 0 with in null: drain
    bool WritePcm(int frames);
    bool EncodeFrames(bool final);
    bool Drain();
};

bool AcmStream::Impl::AllocStaging() {
    const int64_t frames = static_cast<int64_t>(kChunkFrames) * outRate / inRate + 2 * kResamplerDelayFrames +
                           2 * (kResamplerDelayFrames * static_cast<int64_t>(outRate) / inRate);
    stagingFrames = static_cast<int>(frames);
    const int size = av_samples_get_buffer_size(nullptr, outCh, stagingFrames, midFormat, 1);
    if (size < 0) return false;
    stagingBytes.assign(static_cast<size_t>(size), 0);
    return av_samples_fill_arrays(staging, nullptr, stagingBytes.data(), outCh, stagingFrames, midFormat, 1) >= 0;
}

MMRESULT AcmStream::Impl::OpenCodec() {
    const WaveFormat dst(destination);
    const uint16_t tag = dst.FormatTag();
    const char* name = EncoderName(tag);
    const codecs::Library* library = name ? CodecLibrary() : nullptr;
    if (!library) return ACMERR_NOTPOSSIBLE;
    codecs::EncoderSettings settings;
    settings.name = name;
    settings.rate = outRate;
    settings.channels = outCh;
    if (tag == WAVE_FORMAT_IMA_ADPCM || tag == WAVE_FORMAT_ADPCM)
        settings.blockSize = static_cast<uint16_t>(dst.BlockAlign());
    if (tag == WAVE_FORMAT_MPEGLAYER3) settings.bitRate = static_cast<int64_t>(dst.AvgBytesPerSec()) * 8;
    std::string why;
    codec = library->OpenEncoder(settings, why);
    if (!codec) {
        LogError("conversion stream: " + why);
        return ACMERR_NOTPOSSIBLE;
    }
    codecs::AudioEncoder* c = codec.get();

    // The codec must produce exactly the blocks the descriptor announces.
    const std::span<const uint8_t> extra = dst.Extra();
    switch (tag) {
        case WAVE_FORMAT_IMA_ADPCM:
        case WAVE_FORMAT_GSM610:
            if (c->BlockAlign() != static_cast<uint16_t>(dst.BlockAlign()) || c->FrameSize() != WaveFormat::ReadU16(extra, 0))
                return ACMERR_NOTPOSSIBLE;
            break;
        case WAVE_FORMAT_ADPCM:
            if (c->BlockAlign() != static_cast<uint16_t>(dst.BlockAlign()) || c->ExtraData().size() < 32 ||
                std::memcmp(c->ExtraData().data(), extra.data(), 32) != 0)
                return ACMERR_NOTPOSSIBLE;
            break;
        default:
            break;
    }
    frameSize = c->FrameSize();
    smallLastFrame = c->SmallLastFrame();
    midFormat = static_cast<AVSampleFormat>(c->SampleFormat());
    if (!AllocStaging()) return MMSYSERR_NOMEM;
    frameCapacity = frameSize > 0 ? frameSize : stagingFrames;
    fifo.reset(av_audio_fifo_alloc(midFormat, outCh, frameCapacity + stagingFrames));
    frame.reset(av_frame_alloc());
    if (!fifo || !frame) return MMSYSERR_NOMEM;
    frame->format = midFormat;
    frame->sample_rate = outRate;
    frame->nb_samples = frameCapacity;
    av_channel_layout_default(&frame->ch_layout, outCh);
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return MMSYSERR_NOMEM;

    switch (tag) {
        case WAVE_FORMAT_IMA_ADPCM:
        case WAVE_FORMAT_ADPCM:
        case WAVE_FORMAT_GSM610:
            blockFrames = frameSize;
            maxPacket = static_cast<uint32_t>(c->BlockAlign());
            break;
        case WAVE_FORMAT_MPEGLAYER3:
            blockFrames = 0;
            // A Layer-3 frame: 144 (MPEG-1) or 72 x bit rate / rate bytes, one padding byte.
            maxPacket = static_cast<uint32_t>((outRate >= 32000 ? 144 : 72) * c->BitRate() / outRate + 2);
            break;
        default:  // G.711: one byte per sample
            blockFrames = 1;
            maxPacket = static_cast<uint32_t>(frameCapacity) * outAlign;
            break;
    }
    swr.reset(MakeResampler(inCh, SourceSampleFormat(source), inRate, outCh, midFormat, outRate));
    return swr ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE;
}

uint64_t AcmStream::Impl::WorstOutput(uint64_t inFrames) const {
    const uint64_t slack = rateChange ? kResamplerDelayFrames + kResamplerDelayFrames * static_cast<uint64_t>(outRate) /
                                                                    static_cast<uint64_t>(inRate)
                                      : 0;
    const uint64_t frames = (inFrames * static_cast<uint64_t>(outRate) + static_cast<uint64_t>(inRate) - 1) /
                                static_cast<uint64_t>(inRate) +
                            slack;
    switch (kind) {
        case Kind::Copy: return inFrames * inAlign;
        case Kind::Pcm: return frames * outAlign;
        case Kind::Codec:
            if (frameSize == 0) return (frames + static_cast<uint64_t>(frameCapacity)) * outAlign;
            if (blockFrames > 1 && !rateChange) {
                // ADPCM and GSM at the input's rate: one block per frame of what is held and
                // given, the last one padded; no delay, no tail.
                const auto held = static_cast<uint64_t>(av_audio_fifo_size(fifo.get()));
                return (held + inFrames + static_cast<uint64_t>(frameSize) - 1) / static_cast<uint64_t>(frameSize) *
                       maxPacket;
            }
            // Held samples (< one frame) and the padded last frame come on top.
            return ((frames + 2 * static_cast<uint64_t>(frameSize)) / static_cast<uint64_t>(frameSize) + 1 +
                    kCodecTailPackets) *
                   maxPacket;
    }
    return 0;
}

bool AcmStream::Impl::WritePcm(int frames) {
    const uint32_t bytes = static_cast<uint32_t>(frames) * outAlign;
    if (bytes > outCap - outLen) return false;
    uint8_t* d = out + outLen;
    const auto* s = staging[0];
    const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(outCh);
    for (size_t i = 0; i < samples; ++i, s += 4, d += 3) {
        d[0] = s[1];
        d[1] = s[2];
        d[2] = s[3];
    }
    outLen += bytes;
    return true;
}

bool AcmStream::Impl::PushResampled(const uint8_t* in, int frames) {
    const uint8_t* inPlanes[1] = {in};
    for (;;) {
        int got;
        if (kind == Kind::Pcm && !pack24) {
            uint8_t* o[1] = {out + outLen};
            got = swr_convert(swr.get(), o, static_cast<int>((outCap - outLen) / outAlign), in ? inPlanes : nullptr,
                              frames);
            if (got < 0) return false;
            outLen += static_cast<uint32_t>(got) * outAlign;
        } else {
            got = swr_convert(swr.get(), staging, stagingFrames, in ? inPlanes : nullptr, frames);
            if (got < 0) return false;
            if (kind == Kind::Pcm) {
                if (!WritePcm(got)) return false;
            } else if (got > 0) {
                if (av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(staging), got) != got) return false;
                if (!EncodeFrames(false)) return false;
            }
        }
        // With input, one call takes all of it. A drain repeats until nothing is left.
        if (in || got == 0) return true;
    }
}

bool AcmStream::Impl::EncodeFrames(bool final) {
    for (;;) {
        const int avail = av_audio_fifo_size(fifo.get());
        int n;
        if (frameSize > 0) {
            if (avail >= frameSize) {
                n = frameSize;
            } else if (final && avail > 0) {
                n = smallLastFrame ? avail : frameSize;  // the last block is padded with silence
            } else {
                return true;
            }
        } else {
            if (avail == 0) return true;
            n = std::min(avail, frameCapacity);
        }
        frame->nb_samples = frameCapacity;
        if (av_frame_make_writable(frame.get()) < 0) return false;
        const int take = std::min(avail, n);
        if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->extended_data), take) != take) return false;
        if (take < n) av_samples_set_silence(frame->extended_data, take, n - take, outCh, midFormat);
        frame->nb_samples = n;
        frame->pts = pts;
        pts += n;
        if (codec->Send(frame.get()) < 0) return false;
        if (!Drain()) return false;
    }
}

bool AcmStream::Impl::Drain() {
    for (;;) {
        std::span<const uint8_t> packet;
        const int r = codec->Receive(packet);
        if (r == 0) return true;
        if (r < 0) return false;
        const auto size = static_cast<uint32_t>(packet.size());
        if (size > outCap - outLen) {
            LogError("conversion stream: an encoded packet of " + std::to_string(size) +
                     " bytes exceeds the destination");
            return false;
        }
        if (size > 0) std::memcpy(out + outLen, packet.data(), size);
        outLen += size;
    }
}

AcmStream::AcmStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AcmStream::~AcmStream() = default;

MMRESULT AcmStream::Open(std::unique_ptr<AcmStream>& stream, const WaveFormat& source,
                        std::span<const uint8_t> destination) {
    stream.reset();
    if (CheckConversion(source, destination) != MMSYSERR_NOERROR) return ACMERR_NOTPOSSIBLE;
    auto impl = std::make_unique<Impl>();
    impl->source = source;
    impl->destination.assign(destination.begin(), destination.end());
    const WaveFormat dst(destination.first(WaveFormat::kBaseSize));
    impl->inRate = source.SamplesPerSec();
    impl->inCh = source.Channels();
    impl->inAlign = static_cast<uint16_t>(source.BlockAlign());
    impl->outRate = dst.SamplesPerSec();
    impl->outCh = dst.Channels();
    impl->outAlign = static_cast<uint16_t>(dst.BlockAlign());
    impl->rateChange = impl->inRate != impl->outRate;

    const uint16_t tag = dst.FormatTag();
    MMRESULT r = MMSYSERR_NOERROR;
    if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) {
        const bool same = tag == source.FormatTag() && !impl->rateChange && impl->outCh == impl->inCh &&
                          dst.BitsPerSample() == source.BitsPerSample();
        if (same) {
            impl->kind = Impl::Kind::Copy;
        } else {
            impl->kind = Impl::Kind::Pcm;
            impl->pack24 = tag == WAVE_FORMAT_PCM && dst.BitsPerSample() == 24;
            impl->midFormat = tag == WAVE_FORMAT_IEEE_FLOAT ? AV_SAMPLE_FMT_FLT
                              : dst.BitsPerSample() == 8    ? AV_SAMPLE_FMT_U8
                              : dst.BitsPerSample() == 16   ? AV_SAMPLE_FMT_S16
                                                            : AV_SAMPLE_FMT_S32;
            impl->swr.reset(MakeResampler(impl->inCh, SourceSampleFormat(source), impl->inRate, impl->outCh,
                                          impl->midFormat, impl->outRate));
            if (!impl->swr) r = ACMERR_NOTPOSSIBLE;
            else if (impl->pack24 && !impl->AllocStaging()) r = MMSYSERR_NOMEM;
        }
        impl->blockFrames = 1;
    } else {
        impl->kind = Impl::Kind::Codec;
        r = impl->OpenCodec();
    }
    if (r != MMSYSERR_NOERROR) return r;
    stream.reset(new AcmStream(std::move(impl)));
    return MMSYSERR_NOERROR;
}

MMRESULT AcmStream::Size(uint32_t cbInput, uint32_t& cbOutput) const {
    const uint64_t worst = impl_->WorstOutput(cbInput / impl_->inAlign);
    if (worst > UINT32_MAX) return MMSYSERR_INVALPARAM;
    cbOutput = static_cast<uint32_t>(worst);
    return MMSYSERR_NOERROR;
}

uint32_t AcmStream::SourceBlockBytes() const {
    const Impl& s = *impl_;
    if (s.blockFrames > 1 && !s.rateChange) return static_cast<uint32_t>(s.blockFrames) * s.inAlign;
    return s.inAlign;
}

uint32_t AcmStream::SeamBytes() const {
    const Impl& s = *impl_;
    // Output frames of one codec frame: the block of an ADPCM or GSM codec, the MPEG frame.
    const uint64_t frame = s.kind == Impl::Kind::Codec && s.frameSize > 0 ? static_cast<uint64_t>(s.frameSize) : 1;
    const auto in = static_cast<uint64_t>(s.inRate);
    const auto out = static_cast<uint64_t>(s.outRate);
    // n input frames give n x out / in output frames: whole codec frames when n is a
    // multiple of frame x in / gcd(frame x in, out).
    uint64_t frames = frame * in / std::gcd(frame * in, out);
    if (frames > in) frames = (frame * in + out - 1) / out;  // not exact within a second
    return static_cast<uint32_t>(frames * s.inAlign);
}

MMRESULT AcmStream::Convert(AcmStreamHeader& h, uint32_t flags) {
    Impl& s = *impl_;
    h.cbSrcLengthUsed = 0;
    h.cbDstLengthUsed = 0;
    if (s.ended) return ACMERR_NOTPOSSIBLE;
    if ((h.cbSrcLength > 0 && !h.pbSrc) || (h.cbDstLength > 0 && !h.pbDst)) return MMSYSERR_INVALPARAM;
    const bool end = (flags & ACM_STREAMCONVERTF_END) != 0;
    const uint32_t inFrames = h.cbSrcLength / s.inAlign;
    uint32_t take = inFrames;
    if (!end && (flags & ACM_STREAMCONVERTF_BLOCKALIGN) && s.blockFrames > 1 && !s.rateChange) {
        const auto held = static_cast<uint32_t>(av_audio_fifo_size(s.fifo.get()));
        const uint32_t whole = (held + inFrames) / static_cast<uint32_t>(s.blockFrames) *
                               static_cast<uint32_t>(s.blockFrames);
        take = whole > held ? whole - held : 0;
    }
    if (s.WorstOutput(take) > h.cbDstLength) return MMSYSERR_INVALPARAM;

    s.out = h.pbDst;
    s.outCap = h.cbDstLength;
    s.outLen = 0;
    bool ok = true;
    uint32_t done = 0;
    while (ok && done < take) {
        const uint32_t n = std::min<uint32_t>(take - done, kChunkFrames);
        const uint8_t* in = h.pbSrc + static_cast<size_t>(done) * s.inAlign;
        if (s.kind == Impl::Kind::Copy) {
            std::memcpy(s.out + s.outLen, in, static_cast<size_t>(n) * s.inAlign);
            s.outLen += n * s.inAlign;
        } else {
            ok = s.PushResampled(in, static_cast<int>(n));
        }
        if (ok) done += n;
    }
    if (ok && end) {
        if (s.swr) ok = s.PushResampled(nullptr, 0);
        if (ok && s.kind == Impl::Kind::Codec) {
            ok = s.EncodeFrames(true) && s.codec->Send(nullptr) >= 0 && s.Drain();
        }
        s.ended = true;
    }
    h.cbSrcLengthUsed = done * s.inAlign;
    h.cbDstLengthUsed = s.outLen;
    s.out = nullptr;
    return ok ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

const WaveFormat& AcmStream::Source() const { return impl_->source; }
std::span<const uint8_t> AcmStream::Destination() const { return impl_->destination; }

}  // namespace tavrino::acm
