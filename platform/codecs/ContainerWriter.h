// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Inside the codec plugin: the FileWriter over libavformat (see CodecLibrary.h).
//
// Pages and frames: the muxer's output collects in a 32 KiB buffer; Flush ends the open Ogg
// page and hands everything to the sink, so each Flush leaves the sink ending on a whole
// page or frame. Allocation happens at Open; Write allocates only inside libavcodec (its
// packets).

#include <memory>
#include <string>

#include "platform/codecs/CodecLibrary.h"

namespace tavrino::codecs {

bool HaveContainer(Container container);
std::unique_ptr<FileWriter> OpenContainer(const FileSettings& settings, ByteSink& sink, std::string& why);

}  // namespace tavrino::codecs
