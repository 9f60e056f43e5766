#pragma once
// The codec library: everything that needs libavcodec or libavformat, in a plugin that the
// program loads the first time a format needs it (platform/acm/CodecLoader.h). libavcodec
// pulls in some sixty libraries (video codecs among them, about 10 MB); a recording in PCM,
// the default, never maps any of them.
//
// The plugin and the program are built together from one tree, so this interface is plain
// C++; kInterfaceVersion guards against a plugin left over from another build. Nothing here
// includes an FFmpeg header: frames cross as libavutil's AVFrame (libavutil stays linked
// into the program), packets as bytes.
//
// Threads: an encoder or writer belongs to one thread at a time; the library object itself
// is immutable and may be used from any thread.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct AVFrame;

namespace tavrino::codecs {

inline constexpr int kInterfaceVersion = 1;

// The name of the symbol the plugin exports: const Library* (int interfaceVersion).
inline constexpr const char* kEntryName = "tavrino_codec_library";

// One opened libavcodec audio encoder, for the conversion stream (platform/acm).
class AudioEncoder {
public:
    virtual ~AudioEncoder() = default;
    // Samples per frame the encoder takes; 0: any count.
    virtual int FrameSize() const = 0;
    // The AVSampleFormat of the frames it takes.
    virtual int SampleFormat() const = 0;
    // Whether the last frame may be shorter than FrameSize().
    virtual bool SmallLastFrame() const = 0;
    virtual int BlockAlign() const = 0;
    virtual std::span<const uint8_t> ExtraData() const = 0;
    virtual int64_t BitRate() const = 0;
    // Hands over one frame, or none to drain. Negative: the codec failed.
    virtual int Send(const AVFrame* frame) = 0;
    // The next packet in `packet` (valid until the next call): 1; none yet: 0; failure: -1.
    virtual int Receive(std::span<const uint8_t>& packet) = 0;
};

struct EncoderSettings {
    const char* name = "";    // libavcodec's encoder name: "adpcm_ima_wav", "libmp3lame", ...
    int rate = 0;             // Hz
    int channels = 0;
    int64_t bitRate = 0;      // bit/s; 0: the codec's default
    int blockSize = 0;        // bytes per block for the ADPCM encoders; 0: the default
};

class Library {
public:
    // Whether libavcodec has the encoder of that name.
    virtual bool HaveEncoder(const char* name) const = 0;
    // Opens an encoder; null with the reason in `why`.
    virtual std::unique_ptr<AudioEncoder> OpenEncoder(const EncoderSettings& settings, std::string& why) const = 0;

protected:
    ~Library() = default;
};

}  // namespace tavrino::codecs
