// SPDX-License-Identifier: GPL-3.0-or-later
#include "encoder/ContainerFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/FileType.h"
#include "encoder/EncoderWAV.h"
#include "platform/acm/CodecLoader.h"

namespace tavrino {
namespace {

// What a container adds beyond the audio: the muxer's buffer, headers, the trailer.
constexpr uint64_t kContainerSlack = 256 * 1024;

codecs::Container ContainerOf(FileType type) {
    switch (type) {
        case FileType::Opus: return codecs::Container::OggOpus;
        case FileType::Vorbis: return codecs::Container::OggVorbis;
        case FileType::Mp3: return codecs::Container::Mp3;
        default: return codecs::Container::Flac;
    }
}

}  // namespace

ContainerFile::ContainerFile(int fd, int64_t base, bool seekable, uint64_t maxSize)
    : fd_(fd), base_(base), seekable_(seekable), maxSize_(maxSize) {}

ContainerFile::~ContainerFile() = default;

std::unique_ptr<ContainerFile> ContainerFile::Open(int fd, int64_t base, bool seekable, uint64_t maxSize,
                                                   const WaveFormat& input, std::span<const uint8_t> format,
                                                   std::string& why) {
    const codecs::Library* library = acm::CodecLibrary(&why);
    if (!library) return nullptr;
    const WaveFormat out(format.first(std::min(format.size(), WaveFormat::kBaseSize)));
    codecs::FileSettings s;
    s.container = ContainerOf(FileTypeOfTag(out.FormatTag()));
    s.inRate = input.SamplesPerSec();
    s.inChannels = input.Channels();
    s.outRate = out.SamplesPerSec();
    s.outChannels = out.Channels();
    if (FileTypeOfTag(out.FormatTag()) != FileType::Flac) s.bitRate = static_cast<int64_t>(out.AvgBytesPerSec()) * 8;
    std::unique_ptr<ContainerFile> file(new ContainerFile(fd, base, seekable, maxSize));
    file->inputFrameBytes_ = input.BlockAlign();
    file->inputBytesPerSec_ = input.AvgBytesPerSec();
    file->outputPerInput_ = static_cast<double>(s.outRate) * s.outChannels / (static_cast<double>(s.inRate) * s.inChannels);
    file->writer_ = library->OpenFile(s, *file, why);
    if (!file->writer_) return nullptr;
    file->flushed_ = file->size_;
    return file;
}

int32_t ContainerFile::Result(codecs::FileWriter::Result r) {
    if (r == codecs::FileWriter::Ok) return EncOK;
    if (!failed_) return EncConvertFailed;
    // Back to the end of the last flush: the file ends on a whole page or frame.
    if (seekable_ && size_ > flushed_ && ::ftruncate(fd_, base_ + static_cast<off_t>(flushed_)) == 0) size_ = flushed_;
    return EncWriteFailed;
}

int32_t ContainerFile::Encode(const uint8_t* pcm, int32_t bytes) {
    if (failed_) return EncWriteFailed;
    inputBytes_ += static_cast<uint64_t>(bytes);
    return Result(writer_->Write(reinterpret_cast<const int16_t*>(pcm), bytes / inputFrameBytes_));
}

int32_t ContainerFile::Flush() {
    if (failed_) return EncWriteFailed;
    const int32_t r = Result(writer_->Flush());
    if (r == EncOK) flushed_ = size_;
    return r;
}

int32_t ContainerFile::Finish() {
    if (failed_) return EncWriteFailed;
    return Result(writer_->Finish());
}

uint64_t ContainerFile::WorstBytes(uint64_t inputBytes) const {
    // Lossless at worst stores the samples as they are, plus its frame headers.
    const auto audio = static_cast<uint64_t>(static_cast<double>(inputBytes) * std::max(1.0, outputPerInput_) * 1.125);
    return audio + kContainerSlack;
}

int64_t ContainerFile::MeasuredBytesPerSecond() const {
    if (inputBytesPerSec_ <= 0 || inputBytes_ < static_cast<uint64_t>(inputBytesPerSec_)) return 0;
    return static_cast<int64_t>(static_cast<double>(size_) * inputBytesPerSec_ / static_cast<double>(inputBytes_));
}

size_t ContainerFile::Write(const uint8_t* data, size_t count) {
    // The size limit refuses a write whole, as for WAV.
    if (failed_) return 0;
    if (pos_ + count > maxSize_) {
        failed_ = true;
        writeError_ = EFBIG;
        return 0;
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, data + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeError_ = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    pos_ += done;
    size_ = std::max(size_, pos_);
    if (done != count) failed_ = true;
    return done;
}

bool ContainerFile::Seek(int64_t offset) {
    if (!seekable_ || offset < 0 || ::lseek(fd_, base_ + offset, SEEK_SET) < 0) return false;
    pos_ = static_cast<uint64_t>(offset);
    return true;
}

}  // namespace tavrino
