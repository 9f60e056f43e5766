// SPDX-License-Identifier: GPL-3.0-or-later
#include "encoder/EncoderWAV.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/Error.h"
#include "encoder/ContainerFile.h"
#include "platform/Log.h"
#include "platform/acm/AcmStream.h"
#include "platform/acm/CodecLoader.h"

namespace tavrino {
namespace {

constexpr size_t kHeaderExtra = 28;  // "RIFF" size "WAVE" "fmt " L ... "data" size

void Put4cc(uint8_t* p, const char* code) { std::memcpy(p, code, 4); }

// The rate in kHz to one decimal, halves to even, without trailing zeros: 44100 -> "44.1",
// 8000 -> "8", 22050 -> "22" (220.5 tenths is a half, 220 is even).
std::string KiloHertzText(int32_t rate) {
    const int64_t r = rate;
    const bool negative = r < 0;
    const int64_t a = negative ? -r : r;
    int64_t tenths = a / 100;
    const int64_t rest = a % 100;
    if (rest > 50 || (rest == 50 && tenths % 2 != 0)) ++tenths;
    char text[32];
    if (tenths % 10 != 0) {
        std::snprintf(text, sizeof text, "%s%lld.%lld", negative ? "-" : "", static_cast<long long>(tenths / 10),
                      static_cast<long long>(tenths % 10));
    } else {
        std::snprintf(text, sizeof text, "%s%lld", negative && tenths != 0 ? "-" : "",
                      static_cast<long long>(tenths / 10));
    }
    return text;
}

}  // namespace

EncoderWAV::EncoderWAV() {
    const WaveFormat pcm = WaveFormat::Pcm(44100, 2);
    m_format.assign(kFormatBufferSize, 0);
    SetFormat(pcm.data(), static_cast<int32_t>(pcm.size()), "44.1 kHz 16 Bit Stereo", "PCM");
}

EncoderWAV::~EncoderWAV() {
    Encoder_EncoderClose();
}

FileType EncoderWAV::OutputFileType() const {
    return m_formatLen >= 2 ? FileTypeOfTag(WaveFormat::ReadU16(m_format, 0)) : FileType::Wav;
}

std::string EncoderWAV::Encoder_Description() const {
    const FileType type = OutputFileType();
    return type == FileType::Wav ? "Wave ACM Encoder" : std::string(FileTypeName(type)) + " Encoder";
}

std::string EncoderWAV::Encoder_Extension() const { return FileExtension(OutputFileType()); }

uint64_t EncoderWAV::FileSize() const {
    if (m_container) return m_container->Size();
    return IsOpen() ? m_fileSize : 0;
}

int64_t EncoderWAV::Encoder_BytesPerSecond() const {
    if (m_container && OutputFileType() == FileType::Flac) {
        const int64_t measured = m_container->MeasuredBytesPerSecond();
        if (measured > 0) return measured;
    }
    const std::span<const uint8_t> format = IsOpen() ? std::span<const uint8_t>(m_openFormat) : OutputFormat();
    return format.size() >= 12 ? static_cast<int64_t>(WaveFormat::ReadU32(format, 8)) : 0;
}

// Opens (creates or replaces) the output file, or takes standard output for "-", and notes
// whether it can seek and where the recording starts in it.
int32_t EncoderWAV::OpenOutput(const std::string& output) {
    if (output == kStandardOutput) {
        m_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    } else {
        m_fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (m_fd == -1) {
        m_lastFileError = errno;
        LogError("cannot create " + output + ": " + std::strerror(errno));
        return EncFileError;
    }
    // Appending or a pipe: the header cannot be rewritten in place.
    const off_t at = ::lseek(m_fd, 0, SEEK_CUR);
    const int flags = ::fcntl(m_fd, F_GETFL);
    m_seekable = at >= 0 && flags != -1 && (flags & O_APPEND) == 0;
    m_base = m_seekable ? static_cast<int64_t>(at) : 0;
    return EncOK;
}

void EncoderWAV::WriteHeader(bool bln) {
    if (IsOpen()) throw Error(kErrEncoderRunning, "Encoder already running!");
    m_writeHeader = bln;
}

std::span<const uint8_t> EncoderWAV::OutputFormat() const {
    const size_t n = std::min(static_cast<size_t>(std::max<int32_t>(m_formatLen, 0)), m_format.size());
    return std::span<const uint8_t>(m_format).first(n);
}

void EncoderWAV::SetFormat(const void* wfx_ptr, int32_t wfx_len, const std::string& FormatID,
                           const std::string& FormatTag) {
    if (!wfx_ptr || wfx_len < 0) return;
    const auto n = static_cast<size_t>(wfx_len);
    if (m_format.size() < n) m_format.assign(n, 0);
    std::memcpy(m_format.data(), wfx_ptr, n);
    m_formatLen = wfx_len;
    m_formatID = FormatID;
    m_formatTag = FormatTag;
}

void EncoderWAV::SetPCMFormat(int32_t samplerate, int16_t Channels, const std::string& FormatID,
                              const std::string& FormatTag) {
    const WaveFormat pcm = WaveFormat::Pcm(samplerate, Channels);
    std::string id = FormatID;
    if (id.empty())
        id = KiloHertzText(samplerate) + " " + std::to_string(pcm.BitsPerSample()) + " Bit " +
             (Channels == 2 ? "stereo" : "mono");
    SetFormat(pcm.data(), static_cast<int32_t>(pcm.size()), id, FormatTag.empty() ? "PCM" : FormatTag);
}

int32_t EncoderWAV::SelectFormat(int32_t samplerate, int16_t Channels, uintptr_t hwndOwner, const std::string& Title) {
    if (!m_chooser) return EncNoFormatChosen;
    std::optional<ChosenFormat> choice;
    try {
        choice = m_chooser->Choose(Title, WaveFormat::Pcm(samplerate, Channels), hwndOwner);
    } catch (const std::exception& e) {
        LogError(std::string("format chooser failed: ") + e.what());
        return EncNoFormatChosen;
    }
    if (!choice) return EncNoFormatChosen;

    std::vector<uint8_t> bytes(std::max(kFormatBufferSize, choice->descriptor.size()), 0);
    std::copy(choice->descriptor.begin(), choice->descriptor.end(), bytes.begin());
    m_format = std::move(bytes);
    // The extra size read as a signed 16-bit value: a negative one makes a length below 18,
    // which the stream refuses at the next Encoder_EncoderInit.
    m_formatLen = 18 + static_cast<int16_t>(WaveFormat::ReadU16(m_format, 16));
    auto upToZero = [](const std::string& s) { return s.substr(0, s.find('\0')); };
    m_formatID = upToZero(choice->description);
    m_formatTag = upToZero(choice->tagName);
    return EncOK;
}

int32_t EncoderWAV::Encoder_EncoderMetrics(int32_t info) const {
    switch (info) {
        case 1: return IsOpen() ? m_input.AvgBytesPerSec() : -1;
        case 0: return IsOpen() ? m_input.BlockAlign() : -1;
        default: return 0;
    }
}

void EncoderWAV::ReleaseStream() {
    m_stream.reset();
    std::vector<uint8_t>().swap(m_src);
    std::vector<uint8_t>().swap(m_dst);
    m_srcLen = 0;
    m_kept = 0;
}

int32_t EncoderWAV::Encoder_EncoderInit(int32_t samplerate, int16_t Channels, const std::string& output) {
    Encoder_EncoderClose();
    m_lastFileError = 0;
    m_lastWriteError = 0;
    m_inputBytes = 0;
    if (samplerate < 1 || Channels < 1) return EncFormatError;
    m_input = WaveFormat::Pcm(samplerate, Channels);
    if (OutputFileType() != FileType::Wav) return InitContainer(output);

    // The stream reads exactly the output format's bytes; a negative length is refused.
    if (m_formatLen < static_cast<int32_t>(WaveFormat::kBaseSize)) return EncFormatError;
    m_openFormat.assign(m_format.begin(), m_format.begin() + m_formatLen);
    if (acm::AcmStream::Open(m_stream, m_input, m_openFormat) != MMSYSERR_NOERROR) return EncFormatError;

    // One second of input, plus room for the bytes a block-aligned conversion leaves.
    m_srcLen = m_input.AvgBytesPerSec();
    const uint64_t capacity = static_cast<uint64_t>(m_srcLen) + m_stream->SourceBlockBytes();
    uint32_t dstLen = 0;
    if (capacity > UINT32_MAX || m_stream->Size(static_cast<uint32_t>(capacity), dstLen) != MMSYSERR_NOERROR) {
        ReleaseStream();
        return EncFormatError;
    }
    try {
        m_src.assign(capacity, 0);
        m_dst.assign(dstLen, 0);
    } catch (const std::bad_alloc&) {
        ReleaseStream();
        return EncFormatError;
    }
    m_kept = 0;
    m_outBlock = std::max<uint32_t>(1, WaveFormat::ReadU16(m_openFormat, 12));

    if (OpenOutput(output) != EncOK) {
        ReleaseStream();
        return EncFileError;
    }
    m_path = output;
    m_fileSize = 0;
    m_sinceSizes = 0;
    m_headerWritten = false;
    if (m_writeHeader) {
        // The whole header at once, with the sizes of an empty recording: the file is valid
        // from its first byte.
        const std::vector<uint8_t> header = HeaderBytes(m_openFormat.size() + kHeaderExtra);
        m_headerWritten = WriteBytes(header.data(), header.size()) == static_cast<int64_t>(header.size());
    }
    return EncOK;
}

// The file types besides WAV: no conversion stream; the container writer converts.
int32_t EncoderWAV::InitContainer(const std::string& output) {
    m_openFormat.assign(m_format.begin(), m_format.begin() + m_formatLen);
    m_srcLen = m_input.AvgBytesPerSec();
    m_kept = 0;
    std::string why;
    if (!acm::CodecLibrary(&why)) {  // before the output is created or emptied
        LogError(why);
        return EncFormatError;
    }
    if (OpenOutput(output) != EncOK) return EncFileError;
    m_container = ContainerFile::Open(m_fd, m_base, m_seekable, m_maxFileSize, m_input, m_openFormat, why);
    if (!m_container) {
        LogError("cannot start " + output + ": " + why);
        ::close(m_fd);
        m_fd = -1;
        return EncFormatError;
    }
    m_path = output;
    m_fileSize = 0;
    m_sinceSizes = 0;
    return EncOK;
}

int32_t EncoderWAV::Encoder_Encode(const void* buffer_ptr, int32_t buffer_len, int32_t& buffer_used) {
    if (buffer_len < 0 || (IsOpen() && buffer_len > m_srcLen)) return EncBufferTooLarge;
    if (!IsOpen() || (buffer_len > 0 && !buffer_ptr)) {
        buffer_used = 0;
        return EncConvertFailed;
    }
    if (m_container) {
        // Whole input frames; pages and frames out after every half second of input.
        const int32_t frames = buffer_len - buffer_len % m_input.BlockAlign();
        buffer_used = frames;
        int32_t result = m_container->Encode(static_cast<const uint8_t*>(buffer_ptr), frames);
        m_inputBytes += static_cast<uint64_t>(frames);
        m_sinceSizes += static_cast<uint64_t>(frames);
        if (result == EncOK && m_sinceSizes * 2 >= static_cast<uint64_t>(m_srcLen)) {
            result = m_container->Flush();
            m_sinceSizes = 0;
        }
        if (result == EncWriteFailed) m_lastWriteError = m_container->WriteError();
        return result;
    }
    if (buffer_len > 0) std::memcpy(m_src.data() + m_kept, buffer_ptr, static_cast<size_t>(buffer_len));
    const uint32_t total = m_kept + static_cast<uint32_t>(buffer_len);

    acm::AcmStreamHeader h;
    h.pbSrc = m_src.data();
    h.cbSrcLength = total;
    h.pbDst = m_dst.data();
    h.cbDstLength = static_cast<uint32_t>(m_dst.size());
    const MMRESULT r = m_stream->Convert(h, acm::ACM_STREAMCONVERTF_BLOCKALIGN);
    buffer_used = static_cast<int32_t>(h.cbSrcLengthUsed);

    int32_t result = EncOK;
    if (r != MMSYSERR_NOERROR) {
        // Nothing is written. Input not taken stays kept when some was taken; when none
        // was, the new buffer is dropped so that the kept bytes cannot grow without end.
        result = h.cbSrcLengthUsed == 0 ? EncConvertFailed : EncOK;
        if (h.cbSrcLengthUsed == 0) return result;
    } else if (h.cbDstLengthUsed > 0) {
        const int64_t written = WriteBytes(m_dst.data(), h.cbDstLengthUsed);
        if (written != static_cast<int64_t>(h.cbDstLengthUsed)) {
            if (written > 0) TrimToBlock();
            result = EncWriteFailed;
        }
    }

    m_inputBytes += static_cast<uint64_t>(buffer_len);
    // Keep what the conversion did not take for the next call.
    const uint32_t rest = total - h.cbSrcLengthUsed;
    const uint32_t room = static_cast<uint32_t>(m_src.size()) - static_cast<uint32_t>(m_srcLen);
    if (rest > room) {
        LogError("encoder: conversion left more input than a block; the oldest bytes are dropped");
        std::memmove(m_src.data(), m_src.data() + (total - room), room);
        m_kept = room;
    } else {
        std::memmove(m_src.data(), m_src.data() + h.cbSrcLengthUsed, rest);
        m_kept = rest;
    }

    // Sizes in the header follow the data at least every half second of input.
    m_sinceSizes += static_cast<uint64_t>(buffer_len);
    if (m_sinceSizes * 2 >= static_cast<uint64_t>(m_srcLen)) {
        WriteSizes();
        m_sinceSizes = 0;
    }
    return result;
}

int32_t EncoderWAV::Encoder_EncoderClose() {
    if (!IsOpen()) return EncFileError;
    int32_t result = EncOK;
    // The first failure decides the result; every step still runs, so that the file keeps
    // what could be written and the descriptor is released.
    auto failed = [&](int32_t code, const char* step, int error) {
        LogError(std::string(step) + " " + m_path + ": " + std::strerror(error));
        if (result != EncOK) return;
        result = code;
        if (code == EncWriteFailed) m_lastWriteError = error;
    };

    if (m_container) {
        // The encoder drained, the last pages or frames and the trailer written.
        const int32_t finished = m_container->Finish();
        if (finished != EncOK)
            failed(finished, "cannot finish", finished == EncWriteFailed ? m_container->WriteError() : EIO);
        m_container.reset();
    } else {
        // Flush: the kept bytes and everything the stream holds.
        acm::AcmStreamHeader h;
        h.pbSrc = m_src.data();
        h.cbSrcLength = m_kept;
        h.pbDst = m_dst.data();
        h.cbDstLength = static_cast<uint32_t>(m_dst.size());
        if (m_stream->Convert(h, acm::ACM_STREAMCONVERTF_END) != MMSYSERR_NOERROR) {
            failed(EncConvertFailed, "cannot flush the conversion of", EIO);
        }
        if (h.cbDstLengthUsed > 0) {
            const int64_t written = WriteBytes(m_dst.data(), h.cbDstLengthUsed);
            if (written != static_cast<int64_t>(h.cbDstLengthUsed)) {
                const int error = m_lastWriteError;
                if (written > 0) TrimToBlock();
                failed(EncWriteFailed, "cannot write the end of", error);
            }
        }
        // A pipe keeps the streaming header (sizes at their largest); a seekable output gets
        // the true sizes, at the offset the recording started from.
        if (m_writeHeader && m_seekable) {
            struct stat st {};
            const int64_t end = ::fstat(m_fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
            const uint64_t size = end > m_base ? static_cast<uint64_t>(end - m_base) : 0;
            const std::vector<uint8_t> header = HeaderBytes(size);
            const ssize_t n = ::pwrite(m_fd, header.data(), header.size(), m_base);
            if (n != static_cast<ssize_t>(header.size()))
                failed(EncWriteFailed, "cannot write the header of", n < 0 ? errno : ENOSPC);
        }
        ReleaseStream();
    }

    // A file that cannot be synchronised at all (a pipe, a device) has nothing to wait for.
    if (m_seekable && ::fdatasync(m_fd) != 0 && errno != EINVAL) failed(EncWriteFailed, "cannot synchronise", errno);
    if (::close(m_fd) != 0) failed(EncWriteFailed, "cannot close", errno);
    m_fd = -1;
    m_path.clear();
    return result;
}

uint32_t EncoderWAV::Encoder_InputBlock() const {
    if (!IsOpen()) return 0;
    return m_container ? static_cast<uint32_t>(m_input.BlockAlign()) : m_stream->SourceBlockBytes();
}

uint32_t EncoderWAV::Encoder_SeamBlock() const {
    if (!IsOpen()) return 0;
    // A file type's codec frames are its own business: any input frame makes an exact seam.
    return m_container ? static_cast<uint32_t>(m_input.BlockAlign()) : m_stream->SeamBytes();
}

bool EncoderWAV::Encoder_Fits(int32_t buffer_len) const {
    if (!IsOpen() || buffer_len < 0) return false;
    if (m_container) return m_container->Size() + m_container->WorstBytes(static_cast<uint64_t>(buffer_len)) <= m_maxFileSize;
    // The worst case of what is kept and the new bytes, the flush (a padded last block)
    // included, on top of what the file holds.
    const uint64_t input = static_cast<uint64_t>(m_kept) + static_cast<uint64_t>(buffer_len);
    uint32_t worst = 0;
    if (input > UINT32_MAX || m_stream->Size(static_cast<uint32_t>(input), worst) != MMSYSERR_NOERROR) return false;
    return m_fileSize + worst <= m_maxFileSize;
}

void EncoderWAV::Encoder_UpdateSizes() {
    if (m_container) {
        m_container->Flush();
    } else if (IsOpen()) {
        WriteSizes();
    }
    m_sinceSizes = 0;
}

std::vector<uint8_t> EncoderWAV::HeaderBytes(uint64_t fileSize) const {
    const size_t L = m_openFormat.size();
    std::vector<uint8_t> h(L + kHeaderExtra);
    // Sizes of a file shorter than its header (the header write failed) read 0.
    const uint64_t headerLen = h.size();
    const auto riff = static_cast<uint32_t>(std::min<uint64_t>(fileSize >= 8 ? fileSize - 8 : 0, UINT32_MAX));
    const auto data =
        static_cast<uint32_t>(std::min<uint64_t>(fileSize >= headerLen ? fileSize - headerLen : 0, UINT32_MAX));
    Put4cc(h.data(), "RIFF");
    // Streamed where the header cannot be rewritten: the largest sizes, read as "to the end".
    WaveFormat::WriteU32(h.data() + 4, m_seekable ? riff : 0xFFFFFFFFu);
    Put4cc(h.data() + 8, "WAVE");
    Put4cc(h.data() + 12, "fmt ");
    WaveFormat::WriteU32(h.data() + 16, static_cast<uint32_t>(L));
    std::copy(m_openFormat.begin(), m_openFormat.end(), h.begin() + 20);
    Put4cc(h.data() + 20 + L, "data");
    WaveFormat::WriteU32(h.data() + 24 + L, m_seekable ? data : 0xFFFFFFFFu);
    return h;
}

void EncoderWAV::WriteSizes() {
    if (!m_writeHeader || !m_headerWritten || !m_seekable) return;
    const size_t L = m_openFormat.size();
    uint8_t riff[4], data[4];
    WaveFormat::WriteU32(riff, static_cast<uint32_t>(m_fileSize - 8));
    WaveFormat::WriteU32(data, static_cast<uint32_t>(m_fileSize - (L + kHeaderExtra)));
    // Data first: a reader that trusts the RIFF size never sees it run past the data.
    if (::pwrite(m_fd, data, 4, static_cast<off_t>(m_base + 24 + L)) != 4 || ::pwrite(m_fd, riff, 4, m_base + 4) != 4)
        LogError("cannot update the sizes of " + m_path + ": " + std::strerror(errno));
}

int64_t EncoderWAV::WriteBytes(const uint8_t* data, size_t count) {
    if (m_fd == -1) return 0;
    // The RIFF sizes are 32-bit: a write that would pass the limit is refused whole.
    if (m_fileSize + count > m_maxFileSize) {
        m_lastWriteError = EFBIG;
        return 0;
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, data + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            m_lastWriteError = errno;
            if (done == 0) return -1;
            break;
        }
        if (n == 0) {
            m_lastWriteError = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    m_fileSize += done;
    return static_cast<int64_t>(done);
}

// After a short write: cut a partial output block off the end of the data, so that the
// file holds whole blocks only.
void EncoderWAV::TrimToBlock() {
    const uint64_t start = m_writeHeader ? m_openFormat.size() + kHeaderExtra : 0;
    if (m_fileSize <= start) return;
    const uint64_t partial = (m_fileSize - start) % m_outBlock;
    if (partial == 0) return;
    const uint64_t size = m_fileSize - partial;
    if (!m_seekable) return;
    const auto end = static_cast<off_t>(m_base + static_cast<int64_t>(size));
    if (::ftruncate(m_fd, end) == 0 && ::lseek(m_fd, end, SEEK_SET) >= 0) m_fileSize = size;
}

}  // namespace tavrino
