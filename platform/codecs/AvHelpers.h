// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Inside the codec plugin: the little that its conversion stream (CodecPlugin.cpp) and its
// file writer (ContainerWriter.cpp) both ask of libavcodec.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include <string>

namespace tavrino::codecs {

// The codec's sample format for 16-bit input: `preferred` when it takes it, else the other
// 16-bit layout (planar or interleaved), else the codec's first format. Codecs that list
// none take 16-bit interleaved.
inline AVSampleFormat SixteenBitFormat(const AVCodec* codec, AVSampleFormat preferred) {
    const AVSampleFormat* fmts = codec->sample_fmts;
    if (!fmts) return AV_SAMPLE_FMT_S16;
    const AVSampleFormat other = preferred == AV_SAMPLE_FMT_S16 ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    for (const AVSampleFormat wanted : {preferred, other})
        for (const AVSampleFormat* p = fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
            if (*p == wanted) return *p;
    return fmts[0];
}

// FFmpeg's text for one of its error codes.
inline std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace tavrino::codecs
