// SPDX-License-Identifier: GPL-3.0-or-later
// The file writer of the codec plugin: 16-bit PCM resampled by libswresample where the file
// type asks for another rate or channel count, encoded by libavcodec, muxed by libavformat
// into an AVIOContext whose callbacks write to the caller's ByteSink.

#include "platform/codecs/ContainerWriter.h"

#include "platform/codecs/AvHelpers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tavrino::codecs {
namespace {

// Input frames resampled per step: bounds the staging buffer whatever a Write hands over.
constexpr int kChunkFrames = 4096;
// Output frames the resampler may hand out beyond the rate ratio (its filter delay).
constexpr int kResamplerSlack = 512;
// Bytes the muxer collects before they go to the sink; Flush sends them sooner.
constexpr int kIoBufferBytes = 32768;
// Frames taken per codec frame by an encoder that takes any count.
constexpr int kAnyFrameSize = 1024;

struct Names {
    const char* codec;
    const char* muxer;
};

Names NamesOf(Container c) {
    switch (c) {
        case Container::Flac: return {"flac", "flac"};
        case Container::OggOpus: return {"libopus", "opus"};
        case Container::OggVorbis: return {"libvorbis", "ogg"};
        case Container::Mp3: return {"libmp3lame", "mp3"};
    }
    return {"", ""};
}

class Writer final : public FileWriter {
public:
    explicit Writer(ByteSink& sink) : sink_(sink) {}
    ~Writer() override;

    bool Open(const FileSettings& s, std::string& why);
    Result Write(const int16_t* samples, int frames) override;
    Result Flush() override;
    Result Finish() override;

private:
    static int WritePacket(void* opaque, uint8_t* data, int size);
    static int64_t SeekTo(void* opaque, int64_t offset, int whence);
    Result Failure() const { return shortWrite_ ? WriteFailed : Failed; }
    bool Resample(const uint8_t* in, int frames);
    bool EncodeReady(bool final);
    bool Mux();

    ByteSink& sink_;
    bool shortWrite_ = false;
    bool broken_ = false;
    bool finished_ = false;
    AVFormatContext* format_ = nullptr;
    AVIOContext* io_ = nullptr;
    AVStream* stream_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    SwrContext* swr_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<uint8_t> stagingBytes_;
    uint8_t* staging_[AV_NUM_DATA_POINTERS] = {};
    int stagingFrames_ = 0;
    int frameSize_ = 0;
    bool smallLastFrame_ = false;
    int inChannels_ = 0;
    int outChannels_ = 0;
    int64_t pts_ = 0;
};

Writer::~Writer() {
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    avformat_free_context(format_);
    avcodec_free_context(&codec_);
    swr_free(&swr_);
    if (fifo_) av_audio_fifo_free(fifo_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

int Writer::WritePacket(void* opaque, uint8_t* data, int size) {
    auto* w = static_cast<Writer*>(opaque);
    if (w->shortWrite_) return AVERROR(EIO);
    const auto want = static_cast<size_t>(size);
    if (w->sink_.Write(data, want) != want) {
        w->shortWrite_ = true;
        return AVERROR(EIO);
    }
    return size;
}

int64_t Writer::SeekTo(void* opaque, int64_t offset, int whence) {
    auto* w = static_cast<Writer*>(opaque);
    if ((whence & ~AVSEEK_FORCE) != SEEK_SET) return AVERROR(ENOSYS);
    return w->sink_.Seek(offset) ? offset : AVERROR(EIO);
}

bool Writer::Open(const FileSettings& s, std::string& why) {
    const Names names = NamesOf(s.container);
    const AVCodec* found = avcodec_find_encoder_by_name(names.codec);
    const AVOutputFormat* muxer = av_guess_format(names.muxer, nullptr, nullptr);
    if (!found || !muxer) {
        why = std::string("FFmpeg lacks ") + (found ? "the muxer " : "the encoder ") + (found ? names.muxer : names.codec);
        return false;
    }
    auto fail = [&why](const std::string& what, int code) {
        why = what + ": " + ErrorText(code);
        return false;
    };
    int r = avformat_alloc_output_context2(&format_, muxer, nullptr, nullptr);
    if (r < 0) return fail("muxer", r);
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    if (!buffer) return fail("muxer", AVERROR(ENOMEM));
    io_ = avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr, WritePacket,
                             sink_.Seekable() ? SeekTo : nullptr);
    if (!io_) {
        av_free(buffer);
        return fail("muxer", AVERROR(ENOMEM));
    }
    io_->seekable = sink_.Seekable() ? AVIO_SEEKABLE_NORMAL : 0;
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;

    codec_ = avcodec_alloc_context3(found);
    stream_ = avformat_new_stream(format_, nullptr);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!codec_ || !stream_ || !frame_ || !packet_) return fail("encoder", AVERROR(ENOMEM));
    codec_->sample_rate = s.outRate;
    av_channel_layout_default(&codec_->ch_layout, s.outChannels);
    // 16-bit interleaved first: FLAC stays bit for bit what was captured.
    codec_->sample_fmt = SixteenBitFormat(found, AV_SAMPLE_FMT_S16);
    codec_->time_base = AVRational{1, s.outRate};
    if (s.bitRate > 0) codec_->bit_rate = s.bitRate;
    if (muxer->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    r = avcodec_open2(codec_, found, nullptr);
    if (r < 0) return fail(names.codec, r);
    r = avcodec_parameters_from_context(stream_->codecpar, codec_);
    if (r < 0) return fail(names.codec, r);
    stream_->time_base = codec_->time_base;
    frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : kAnyFrameSize;
    smallLastFrame_ = codec_->frame_size == 0 || (found->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    inChannels_ = s.inChannels;
    outChannels_ = s.outChannels;

    // The plain channel rules of the conversion stream: mono to both channels at full
    // level, stereo to mono as the mean.
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, s.inChannels);
    r = swr_alloc_set_opts2(&swr_, &codec_->ch_layout, codec_->sample_fmt, s.outRate, &inLayout, AV_SAMPLE_FMT_S16,
                            s.inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (r < 0) return fail("resampler", r);
    if (s.inChannels == 1 && s.outChannels == 2) {
        const double m[2] = {1.0, 1.0};
        swr_set_matrix(swr_, m, 1);
    } else if (s.inChannels == 2 && s.outChannels == 1) {
        const double m[2] = {0.5, 0.5};
        swr_set_matrix(swr_, m, 2);
    }
    r = swr_init(swr_);
    if (r < 0) return fail("resampler", r);

    // Everything the per-buffer path needs, allocated now.
    stagingFrames_ = static_cast<int>(static_cast<int64_t>(kChunkFrames) * s.outRate / s.inRate) + 2 * kResamplerSlack;
    const int stagingSize =
        av_samples_get_buffer_size(nullptr, s.outChannels, stagingFrames_, codec_->sample_fmt, 1);
    if (stagingSize < 0) return fail("resampler", stagingSize);
    stagingBytes_.assign(static_cast<size_t>(stagingSize), 0);
    av_samples_fill_arrays(staging_, nullptr, stagingBytes_.data(), s.outChannels, stagingFrames_, codec_->sample_fmt, 1);
    fifo_ = av_audio_fifo_alloc(codec_->sample_fmt, s.outChannels, s.outRate + stagingFrames_ + frameSize_);
    frame_->format = codec_->sample_fmt;
    frame_->sample_rate = s.outRate;
    frame_->nb_samples = frameSize_;
    if (!fifo_ || av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0 ||
        av_frame_get_buffer(frame_, 0) < 0)
        return fail("encoder", AVERROR(ENOMEM));

    r = avformat_write_header(format_, nullptr);
    if (r >= 0) avio_flush(io_);
    if (r < 0 || shortWrite_) {
        why = shortWrite_ ? "the header could not be written" : "header: " + ErrorText(r);
        return false;
    }
    return true;
}

bool Writer::Mux() {
    for (;;) {
        const int r = avcodec_receive_packet(codec_, packet_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        packet_->stream_index = 0;
        av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
        const int w = av_write_frame(format_, packet_);
        av_packet_unref(packet_);
        if (w < 0 || shortWrite_) return false;
    }
}

bool Writer::EncodeReady(bool final) {
    for (;;) {
        const int held = av_audio_fifo_size(fifo_);
        int n = frameSize_;
        if (held < frameSize_) {
            if (!final || held == 0) return true;
            n = smallLastFrame_ ? held : frameSize_;  // else the last frame is padded with silence
        }
        frame_->nb_samples = frameSize_;
        if (av_frame_make_writable(frame_) < 0) return false;
        const int take = std::min(held, n);
        if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->extended_data), take) != take) return false;
        if (take < n) av_samples_set_silence(frame_->extended_data, take, n - take, outChannels_, codec_->sample_fmt);
        frame_->nb_samples = n;
        frame_->pts = pts_;
        pts_ += n;
        if (avcodec_send_frame(codec_, frame_) < 0 || !Mux()) return false;
    }
}

bool Writer::Resample(const uint8_t* in, int frames) {
    const uint8_t* planes[1] = {in};
    for (;;) {
        const int got = swr_convert(swr_, staging_, stagingFrames_, in ? planes : nullptr, frames);
        if (got < 0) return false;
        if (got > 0 && av_audio_fifo_write(fifo_, reinterpret_cast<void**>(staging_), got) != got) return false;
        if (!EncodeReady(false)) return false;
        // With input one call takes all of it; a drain repeats until nothing is left.
        if (in || got == 0) return true;
    }
}

FileWriter::Result Writer::Write(const int16_t* samples, int frames) {
    if (broken_ || finished_) return Failure();
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, kChunkFrames);
        if (!Resample(bytes + static_cast<size_t>(done) * 2 * static_cast<size_t>(inChannels_), n)) {
            broken_ = true;
            return Failure();
        }
        done += n;
    }
    return Ok;
}

FileWriter::Result Writer::Flush() {
    if (broken_ || finished_) return Failure();
    // Ogg closes its open page; FLAC and MP3 frames are already whole in the buffer.
    if (format_->oformat->flags & AVFMT_ALLOW_FLUSH) av_write_frame(format_, nullptr);
    avio_flush(io_);
    if (shortWrite_) broken_ = true;
    return shortWrite_ ? WriteFailed : Ok;
}

FileWriter::Result Writer::Finish() {
    if (finished_) return Failure();
    finished_ = true;
    bool ok = !broken_ && Resample(nullptr, 0) && EncodeReady(true) && avcodec_send_frame(codec_, nullptr) >= 0 && Mux();
    // The trailer completes what is there even after a failure: what the file holds decodes.
    if (!shortWrite_) ok = av_write_trailer(format_) >= 0 && ok;
    avio_flush(io_);
    return ok && !shortWrite_ ? Ok : Failure();
}

}  // namespace

bool HaveContainer(Container container) {
    const Names names = NamesOf(container);
    return avcodec_find_encoder_by_name(names.codec) && av_guess_format(names.muxer, nullptr, nullptr);
}

std::unique_ptr<FileWriter> OpenContainer(const FileSettings& settings, ByteSink& sink, std::string& why) {
    auto writer = std::make_unique<Writer>(sink);
    if (!writer->Open(settings, why)) return nullptr;
    return writer;
}

}  // namespace tavrino::codecs
