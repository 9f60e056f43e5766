// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/FileType.h"

#include <cctype>

namespace tavrino {

FileType FileTypeOfTag(uint16_t tag) {
    switch (tag) {
        case WAVE_FORMAT_FLAC: return FileType::Flac;
        case WAVE_FORMAT_OPUS: return FileType::Opus;
        case WAVE_FORMAT_OGG_VORBIS: return FileType::Vorbis;
        case WAVE_FORMAT_MP3_FILE: return FileType::Mp3;
        default: return FileType::Wav;
    }
}

uint16_t TagOfFileType(FileType type) {
    switch (type) {
        case FileType::Flac: return WAVE_FORMAT_FLAC;
        case FileType::Opus: return WAVE_FORMAT_OPUS;
        case FileType::Vorbis: return WAVE_FORMAT_OGG_VORBIS;
        case FileType::Mp3: return WAVE_FORMAT_MP3_FILE;
        case FileType::Wav: break;
    }
    return 0;
}

const char* FileExtension(FileType type) {
    switch (type) {
        case FileType::Flac: return "flac";
        case FileType::Opus: return "opus";
        case FileType::Vorbis: return "ogg";
        case FileType::Mp3: return "mp3";
        case FileType::Wav: break;
    }
    return "wav";
}

const char* FileTypeName(FileType type) {
    switch (type) {
        case FileType::Flac: return "FLAC";
        case FileType::Opus: return "Ogg Opus";
        case FileType::Vorbis: return "Ogg Vorbis";
        case FileType::Mp3: return "MP3";
        case FileType::Wav: break;
    }
    return "WAV";
}

std::optional<FileType> FileTypeOfExtension(std::string_view extension) {
    std::string lower(extension);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "wav") return FileType::Wav;
    if (lower == "flac") return FileType::Flac;
    if (lower == "opus") return FileType::Opus;
    if (lower == "ogg" || lower == "oga") return FileType::Vorbis;
    if (lower == "mp3") return FileType::Mp3;
    return std::nullopt;
}

std::string WrittenTypesText() {
    return ".wav (WAV), .flac (FLAC), .opus (Ogg Opus), .ogg/.oga (Ogg Vorbis; Ogg Opus with --format opus), "
           ".mp3 (MP3)";
}

}  // namespace tavrino
