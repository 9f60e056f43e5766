#pragma once
// The timed recording of the command line (tavrino --record SECONDS): the recording
// controller driven without a window or a display.

#include <QString>

namespace tavrino {

struct RecordRequest {
    double seconds = 0;  // > 0
    QString device;      // the first device whose name contains this; empty = the default source
    QString appFolder;   // nu.ini and file/ live here
};

// Records into the next numbered file and prints that file's path on stdout; messages go
// to stderr. Runs the Qt event loop of an existing QCoreApplication. Returns the exit
// status: 0 when the time ran out, 1 when the recording could not start or stopped early
// (write error, device lost) or the counter file could not be used.
int RecordFromCommandLine(const RecordRequest& request);

}  // namespace tavrino
