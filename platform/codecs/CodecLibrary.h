// SPDX-License-Identifier: GPL-3.0-or-later
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

inline constexpr int kInterfaceVersion = 2;

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

// Where a file writer's bytes go. The writer calls these on its own thread, in order.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes `count` bytes at the current position. Returns the bytes written; fewer (a full
    // disk, a size limit, a reader gone) ends the writer with WriteFailed.
    virtual size_t Write(const uint8_t* data, size_t count) = 0;
    // Moves to `offset` from the start of the output; false where the output cannot seek.
    virtual bool Seek(int64_t offset) = 0;
    virtual bool Seekable() const = 0;
};

// The file types besides WAV, as the muxers write them.
enum class Container { Flac, OggOpus, OggVorbis, Mp3 };

struct FileSettings {
    Container container = Container::Flac;
    int inRate = 0;        // the captured PCM: interleaved 16-bit at this rate and channel count
    int inChannels = 0;
    int outRate = 0;       // what the file holds (libswresample converts)
    int outChannels = 0;
    int64_t bitRate = 0;   // bit/s for the lossy types
};

// One file being written: 16-bit PCM in, encoded frames muxed into the container out.
class FileWriter {
public:
    enum Result { Ok = 0, WriteFailed = 1, Failed = 2 };
    virtual ~FileWriter() = default;
    // Encodes `frames` interleaved input frames. What the codec gives back is muxed; what the
    // muxer gives back is kept in its buffer until the next Flush.
    virtual Result Write(const int16_t* samples, int frames) = 0;
    // Everything muxed so far reaches the sink as whole pages (Ogg) or frames (FLAC, MP3), so
    // a reader of the file at this moment decodes all of it.
    virtual Result Flush() = 0;
    // The end: the encoder drained, the trailer written (and, where the sink seeks, the
    // header completed: FLAC's sample count, MP3's info frame). Write and Flush fail after.
    virtual Result Finish() = 0;
};

class Library {
public:
    // Whether libavcodec has the encoder of that name.
    virtual bool HaveEncoder(const char* name) const = 0;
    // Opens an encoder; null with the reason in `why`.
    virtual std::unique_ptr<AudioEncoder> OpenEncoder(const EncoderSettings& settings, std::string& why) const = 0;
    // Whether the codec and the muxer of that file type are present.
    virtual bool HaveContainer(Container container) const = 0;
    // Opens a file writer over `sink` (which must outlive it) and writes the container's
    // header; null with the reason in `why` (a header write that fell short included).
    virtual std::unique_ptr<FileWriter> OpenFile(const FileSettings& settings, ByteSink& sink,
                                                 std::string& why) const = 0;

protected:
    ~Library() = default;
};

}  // namespace tavrino::codecs
