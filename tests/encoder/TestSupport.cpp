// SPDX-License-Identifier: GPL-3.0-or-later
#include "encoder/TestSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

namespace tavrino::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrino-enc-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int32_t EncodeAll(EncoderWAV& enc, const std::vector<int16_t>& samples, int32_t bufferBytes) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    const auto total = static_cast<int32_t>(samples.size() * 2);
    for (int32_t off = 0; off < total; off += bufferBytes) {
        int32_t used = -1;
        const int32_t r = enc.Encoder_Encode(bytes + off, std::min(bufferBytes, total - off), used);
        if (r != EncOK) return r;
    }
    return EncOK;
}

void ExpectSizesMatch(const std::string& path) {
    const auto file = ReadBytes(path);
    ASSERT_GE(file.size(), 28u) << path;
    const auto h = ReadHeaderSizes(file);
    EXPECT_EQ(h.riff + 8, file.size()) << path;
    EXPECT_EQ(h.data + 28 + h.fmt, file.size()) << path;
}

namespace {

double SampleAt(const AVFrame* f, AVSampleFormat fmt, int ch, int i, int channels) {
    const bool planar = av_sample_fmt_is_planar(fmt);
    const uint8_t* base = planar ? f->extended_data[ch] : f->extended_data[0];
    const size_t idx = planar ? static_cast<size_t>(i) : static_cast<size_t>(i) * channels + ch;
    switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_U8: return (base[idx] - 128) / 128.0;
        case AV_SAMPLE_FMT_S16: return reinterpret_cast<const int16_t*>(base)[idx] / 32768.0;
        case AV_SAMPLE_FMT_S32: return reinterpret_cast<const int32_t*>(base)[idx] / 2147483648.0;
        case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(base)[idx];
        case AV_SAMPLE_FMT_DBL: return reinterpret_cast<const double*>(base)[idx];
        default: return NAN;
    }
}

}  // namespace

Decoded DecodeFile(const std::string& path) {
    Decoded d;
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
        d.error = "cannot open";
        return d;
    }
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto finish = [&](const std::string& error) {
        d.error = error;
        d.ok = error.empty();
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
        return d;
    };
    if (avformat_find_stream_info(fmt, nullptr) < 0 || fmt->nb_streams != 1) return finish("no single stream");
    const AVCodecParameters* par = fmt->streams[0]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) return finish("no decoder");
    dec = avcodec_alloc_context3(codec);
    if (avcodec_parameters_to_context(dec, par) < 0 || avcodec_open2(dec, codec, nullptr) < 0)
        return finish("decoder does not open");
    d.codec = avcodec_get_name(par->codec_id);
    d.rate = par->sample_rate;
    d.channels = par->ch_layout.nb_channels;
    auto receive = [&]() -> bool {
        for (;;) {
            const int r = avcodec_receive_frame(dec, frame);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            const auto sf = static_cast<AVSampleFormat>(frame->format);
            for (int i = 0; i < frame->nb_samples; ++i)
                for (int c = 0; c < d.channels; ++c) d.samples.push_back(SampleAt(frame, sf, c, i, d.channels));
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        const int r = avcodec_send_packet(dec, pkt);
        av_packet_unref(pkt);
        if ((r < 0 && r != AVERROR_INVALIDDATA) || !receive()) return finish("decode error");
    }
    avcodec_send_packet(dec, nullptr);
    return finish(receive() ? "" : "decode error");
}

double AlignedSnr(const std::vector<double>& reference, const std::vector<double>& actual, int delay, int maxLag,
                  int margin, int* lagOut) {
    const auto n = static_cast<long>(reference.size());
    // Error energy at a delay over [from, to) of the reference.
    auto error = [&](int lag, long from, long to, double* signal) {
        double s = 0, e = 0;
        for (long i = from; i < to; ++i) {
            const long j = i + lag;
            if (j < 0 || j >= static_cast<long>(actual.size())) continue;
            s += reference[i] * reference[i];
            e += (reference[i] - actual[j]) * (reference[i] - actual[j]);
        }
        if (signal) *signal = s;
        return e;
    };
    // The delay is found on a window in the middle of the signal, the ratio measured over
    // all of it.
    const long from = std::max<long>(margin, n / 2 - 4096), to = std::min<long>(n - margin, n / 2 + 4096);
    int best = delay;
    double bestErr = INFINITY;
    for (int lag = delay - maxLag; lag <= delay + maxLag; ++lag) {
        const double e = error(lag, from, to, nullptr);
        if (e < bestErr) bestErr = e, best = lag;
    }
    double signal = 0;
    const double e = error(best, margin, n - margin, &signal);
    if (lagOut) *lagOut = best;
    return e == 0 ? INFINITY : 10 * std::log10(signal / e);
}

HeaderSizes ReadHeaderSizes(const std::vector<uint8_t>& file) {
    HeaderSizes h;
    h.riff = WaveFormat::ReadU32(file, 4);
    h.fmt = WaveFormat::ReadU32(file, 16);
    h.data = WaveFormat::ReadU32(file, 24 + h.fmt);
    return h;
}

}  // namespace tavrino::test
