// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Finds and loads the codec plugin (platform/codecs/CodecLibrary.h) the first time a format
// needs libavcodec or libavformat. The plugin, "libtavrino-codecs.so", lies beside the program
// (the program's folder, as /proc/self/exe names it: the build's program folder, the
// installed application folder); a build with tests or benchmarks also looks in its own program
// folder, so that its test programs elsewhere in the tree find it.
//
// A plugin that cannot be loaded (missing, a library of its own missing, from another
// build) is tried once; every later call answers the same reason. Nothing is loaded at
// start: PCM output (the default) never calls this.
//
// Threads: any; the first call loads under a lock, later calls only read.

#include <string>

namespace tavrino::codecs {
class Library;
}

namespace tavrino::acm {

// The plugin, or null with the reason (in Chinese, naming the file) in `why`.
const codecs::Library* CodecLibrary(std::string* why = nullptr);

// Whether the plugin has been loaded into this process.
bool CodecLibraryLoaded();

}  // namespace tavrino::acm
