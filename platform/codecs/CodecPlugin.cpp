// SPDX-License-Identifier: GPL-3.0-or-later
// The codec plugin: libavcodec's audio encoders and libavformat's file writers
// (ContainerWriter.cpp) behind codecs::Library. Loaded by platform/acm/CodecLoader.cpp with
// dlopen on first need.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <memory>
#include <string>

#include "platform/codecs/AvHelpers.h"
#include "platform/codecs/CodecLibrary.h"
#include "platform/codecs/ContainerWriter.h"

namespace tavrino::codecs {
namespace {

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

class Encoder final : public AudioEncoder {
public:
    Encoder(std::unique_ptr<AVCodecContext, CodecFree> c, std::unique_ptr<AVPacket, PacketFree> p, bool small)
        : codec_(std::move(c)), packet_(std::move(p)), smallLastFrame_(small) {}

    int FrameSize() const override { return codec_->frame_size; }
    int SampleFormat() const override { return codec_->sample_fmt; }
    bool SmallLastFrame() const override { return smallLastFrame_; }
    int BlockAlign() const override { return codec_->block_align; }
    std::span<const uint8_t> ExtraData() const override {
        if (!codec_->extradata || codec_->extradata_size <= 0) return {};
        return {codec_->extradata, static_cast<size_t>(codec_->extradata_size)};
    }
    int64_t BitRate() const override { return codec_->bit_rate; }
    int Send(const AVFrame* frame) override { return avcodec_send_frame(codec_.get(), frame); }
    int Receive(std::span<const uint8_t>& packet) override {
        av_packet_unref(packet_.get());
        const int r = avcodec_receive_packet(codec_.get(), packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
        if (r < 0) return -1;
        packet = {packet_->data, static_cast<size_t>(packet_->size)};
        return 1;
    }

private:
    std::unique_ptr<AVCodecContext, CodecFree> codec_;
    std::unique_ptr<AVPacket, PacketFree> packet_;
    bool smallLastFrame_;
};

class Plugin final : public Library {
public:
    bool HaveEncoder(const char* name) const override { return avcodec_find_encoder_by_name(name) != nullptr; }

    std::unique_ptr<AudioEncoder> OpenEncoder(const EncoderSettings& s, std::string& why) const override {
        const AVCodec* found = avcodec_find_encoder_by_name(s.name);
        if (!found) {
            why = std::string("libavcodec has no encoder ") + s.name;
            return nullptr;
        }
        std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(found));
        std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
        if (!codec || !packet) {
            why = "out of memory";
            return nullptr;
        }
        AVCodecContext* c = codec.get();
        c->sample_rate = s.rate;
        av_channel_layout_default(&c->ch_layout, s.channels);
        // 16-bit planar first, as the ffmpeg command picks for 16-bit input.
        c->sample_fmt = SixteenBitFormat(found, AV_SAMPLE_FMT_S16P);
        c->time_base = AVRational{1, s.rate};
        if (s.bitRate > 0) c->bit_rate = s.bitRate;
        AVDictionary* options = nullptr;
        if (s.blockSize > 0) av_dict_set_int(&options, "block_size", s.blockSize, 0);
        const int r = avcodec_open2(c, found, &options);
        av_dict_free(&options);
        if (r < 0) {
            why = std::string(s.name) + ": " + ErrorText(r);
            return nullptr;
        }
        const bool small = (found->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
        return std::make_unique<Encoder>(std::move(codec), std::move(packet), small);
    }

    bool HaveContainer(Container container) const override { return codecs::HaveContainer(container); }

    std::unique_ptr<FileWriter> OpenFile(const FileSettings& settings, ByteSink& sink,
                                         std::string& why) const override {
        return OpenContainer(settings, sink, why);
    }
};

const Plugin kPlugin;

}  // namespace
}  // namespace tavrino::codecs

extern "C" __attribute__((visibility("default"))) const tavrino::codecs::Library* tavrino_codec_library(int version) {
    if (version != tavrino::codecs::kInterfaceVersion) return nullptr;
    // FFmpeg's warnings (a FLAC header that a pipe cannot rewrite, ...) are not the user's
    // business; its errors still reach stderr.
    av_log_set_level(AV_LOG_ERROR);
    return &tavrino::codecs::kPlugin;
}
