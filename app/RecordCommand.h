// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The timed recording of the command line (tavrino --record SECONDS): the recording
// controller driven without a window or a display.

#include <QString>

#include <cstdint>
#include <optional>

#include "app/CommandLine.h"

namespace tavrino {

struct RecordRequest {
    double seconds = 0;  // > 0
    QString device;      // the first device whose name or description contains this (letter
                         // case ignored); empty = the default source
    QString appFolder;   // nu.ini and file/ live here
    int32_t rate = 44100;
    int16_t channels = 2;
    std::optional<NamedFormat> format;  // none: the encoder's default (PCM 44.1 kHz stereo);
                                        // the command line always names one
    QString output;      // empty: the next numbered file
    bool force = false;  // an output file with something in it may be replaced
    double maxFileSeconds = 0;  // a new numbered file after this much audio; 0 = one file
    bool quiet = false;  // no start line and no summary: only errors on stderr
};

// Records into the next numbered file (or the chosen output, leaving the numbered files and
// the counter as they are) and prints each finished file's absolute path on a line of
// stdout, and nothing else there (nothing when nothing was captured, nor for standard
// output, which carries the audio itself); messages and the summary (length, format,
// dropouts) go to stderr in Chinese, each line starting "tavrino: ". Runs
// the Qt event loop of an existing QCoreApplication. Returns the exit status: 0 when the
// time ran out; 1 when the recording could not start (no such device, the sound server
// out of reach, an output file that holds something, the counter file unusable or locked
// for 5 s), stopped early (write error, device lost, no data) or lost audio on the way
// (an encoder failure, a file that could not be finished: told with its path and the
// system's reason); 2 for an output that is the counter file, the program or a file
// another recording holds; 128 + N after signal N.
int RecordFromCommandLine(const RecordRequest& request);

}  // namespace tavrino
