// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of the program: its options, its help text, and the two look-ups that
// turn what a user typed into a device and an output format.
//
// Conventions are GNU's and getopt's: long options take their value as the next argument or
// after '=' (--record 10, --record=10); a short option takes it as the next argument or
// glued to its letter (-r 8000, -r8000), and several short options share one dash (-qc1);
// a value is taken as it is, also "-" (-o -); "--" ends the options; the last of --stereo /
// --mono / --channels wins.
// Exit statuses: 0 done, 1 the run failed (a recording that could not start or stopped
// early, no display for the window, nothing to list), 2 bad usage (an unknown option, a
// missing or out-of-range value, options that do not go together), 128 + N ended by
// signal N.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "core/WaveFormat.h"

namespace tavrino {

namespace audio {
class Backend;
}

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Accepted ranges of the option values.
inline constexpr double kMinRecordSeconds = 0.001;
inline constexpr double kMaxRecordSeconds = 604800;  // 7 days
inline constexpr double kMinFileSeconds = 1;
inline constexpr int32_t kMinRate = 1000;             // Hz: the conversion stream's lowest
inline constexpr int32_t kMaxRate = 96000;            // Hz: the recording controller's highest
inline constexpr int32_t kDefaultRate = 44100;
inline constexpr int kMinIconSize = 1;
inline constexpr int kMaxIconSize = 1024;
inline constexpr int kDefaultIconSize = 256;

// An output format from the catalogue of the format chooser for a recording at `rate` and
// `channels` (acm::EnumerateFormats), named as --format takes it: "TAG[:ATTRIBUTE]".
struct NamedFormat {
    WaveFormat format;
    QString tag;          // "IMA ADPCM"
    QString description;  // "44.100 kHz, 4 Bit, Stereo"
};

struct CommandLine {
    // What to do; Window when none of the others is asked.
    enum class Command { Window, Help, Version, ListDevices, ListFormats, Record, WriteIcon };
    Command command = Command::Window;

    double recordSeconds = 0;   // --record
    double maxFileSeconds = 0;  // --max-file-time; 0 = one file (up to the WAV size limit)
    QString device;             // --device TEXT; empty = the default source
    // --format TAG[:ATTRIBUTE], else (--record) the type the output's extension names, else
    // 16-bit PCM at the recording's rate and channels (RecordFormatFor); none for the other
    // runs.
    std::optional<NamedFormat> format;
    QString formatNotice;       // the format picked is below the recording; said unless quiet
    int32_t rate = kDefaultRate;  // -r, --rate
    int16_t channels = 2;       // -c, --channels N; --stereo (2) / --mono (1)
    QString output;             // -o, --output PATH; empty = the next numbered file; "-" = standard
                                // output (also for /dev/stdout). The extension names the file
                                // type (OutputTypeError): --format then defaults to that type.
    bool quiet = false;         // -q, --quiet: only errors on stderr
    bool force = false;         // --force
    bool start = false;         // --start
    QString open;               // --open WINDOW
    QString iconPath;           // --write-icon PATH
    int iconSize = kDefaultIconSize;  // --icon-size

    QString error;  // bad usage: what is wrong, naming the option; empty when usable
};

// What is wrong with --output's file type, "" when nothing: the extension (any letter case)
// names it: .wav (a WAV format), .flac, .opus (Ogg Opus), .ogg/.oga (Ogg Vorbis, or Ogg Opus
// with --format opus), .mp3; a path without one takes --format's type. An extension the
// program does not write, or a --format of another type, is wrong. Without --format, the
// extension's type is chosen (its usual entry) into c.format. Standard output ("-",
// /dev/stdout) becomes "-" and takes any type but no --max-file-time.
QString OutputTypeError(CommandLine& c);

// Parses the arguments after the program's name.
CommandLine ParseCommandLine(const QStringList& args);

// The help text (--help): Chinese, with the option names and exit statuses.
QString UsageText();

// The first device whose name or description contains `text`, letter case ignored; -1
// when none does. An empty text names no device.
int32_t MatchDevice(audio::Backend& backend, const QString& text);

// The device --device names (MatchDevice), or without a text the default source, else the
// first device; -1 when there is none.
int32_t ChooseDevice(audio::Backend& backend, const QString& text);

// TAG is a tag name (letter case ignored; a part of one that fits a single tag serves
// too). Without ATTRIBUTE, the tag's entry nearest the recording from below: the highest
// rate not above the recording's, then the most channels not above its channels (where
// every entry is above the recording, the lowest), then for a file type its usual bit rate,
// then the most bits not above 16, then the highest data rate. ATTRIBUTE: the entry whose
// description it is, else the single
// entry whose description contains it (letter case ignored). Nothing, with the reason and
// the candidates in *error, when the text fits no entry or more than one.
std::optional<NamedFormat> PickFormat(const QString& text, int32_t rate, int16_t channels, QString* error);

// What a recording writes when neither --format nor the output's extension names a type:
// 16-bit PCM at the recording's rate and channels, as other recorders write WAV files.
NamedFormat RecordFormatFor(int32_t rate, int16_t channels);

// "输出格式 ... 低于录音的 96000 Hz 立体声" when `format` has a lower rate or fewer
// channels than the recording; "" otherwise.
QString BelowRecordingNotice(const NamedFormat& format, int32_t rate, int16_t channels);

// The catalogue for a recording at `rate` and `channels`, one entry a line:
// "TAG<TAB>DESCRIPTION<TAB>BYTES bytes/s".
QString FormatList(int32_t rate, int16_t channels);

}  // namespace tavrino
