// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The types of file a recording can go to: WAV (any format of the conversion stream, in a
// RIFF/WAVE file) and four that other programs write and play directly: FLAC, Ogg Opus,
// Ogg Vorbis and MP3 files. The chooser and the encoder carry a file type inside the output
// format's descriptor, by its format tag: FLAC, Opus and Vorbis by their registered WAVE
// tags, a bare MP3 file by a tag of its own (0x0055 is MPEG Layer-3 inside a WAV file).
// Such a descriptor is never written into a WAV file.
//
// Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrino {

enum class FileType { Wav, Flac, Opus, Vorbis, Mp3 };

inline constexpr uint16_t WAVE_FORMAT_FLAC = 0xF1AC;
inline constexpr uint16_t WAVE_FORMAT_OPUS = 0x704F;
inline constexpr uint16_t WAVE_FORMAT_OGG_VORBIS = 0x674F;
inline constexpr uint16_t WAVE_FORMAT_MP3_FILE = 0x5033;  // no registered WAVE tag uses it

// The file type of a descriptor's format tag: Wav for every other tag.
FileType FileTypeOfTag(uint16_t tag);
uint16_t TagOfFileType(FileType type);  // 0 for Wav

// "wav", "flac", "opus", "ogg", "mp3": the extension a numbered recording gets (no dot).
const char* FileExtension(FileType type);
// "WAV", "FLAC", "Ogg Opus", "Ogg Vorbis", "MP3".
const char* FileTypeName(FileType type);
// The file type an extension names (no dot, any letter case): wav, flac, opus, ogg and oga
// (Ogg Vorbis), mp3; nothing for any other.
std::optional<FileType> FileTypeOfExtension(std::string_view extension);
// Every extension the program writes, lower case, no dot.
inline constexpr const char* kWrittenExtensions[] = {"wav", "flac", "opus", "ogg", "oga", "mp3"};
// One line that names them for a usage message: ".wav (WAV), .flac (FLAC), ...".
std::string WrittenTypesText();

}  // namespace tavrino
