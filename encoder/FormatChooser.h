// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The output-format chooser that EncoderWAV::SelectFormat opens.
//
// The application implements it with a modal dialog (a list of format tags and, for the
// selected tag, a list of attributes such as "44.100 kHz, 16 Bit, Stereo" with their data
// rates), filled from acm::EnumerateFormats(pcmInput) in platform/acm/AcmFormats.h, so that
// only formats that the recording's PCM can be converted to are offered. Tests implement it
// to answer without a screen.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/WaveFormat.h"

namespace tavrino {

// What the user picked.
struct ChosenFormat {
    std::vector<uint8_t> descriptor;  // the WAVEFORMATEX bytes, 18 + extra size of them
    std::string tagName;              // e.g. "PCM", "IMA ADPCM" (shown as FormatTag)
    std::string description;          // e.g. "44.100 kHz, 16 Bit, Stereo" (shown as FormatID)
};

class FormatChooser {
public:
    virtual ~FormatChooser() = default;

    // Shows the chooser titled `title` (UTF-8), modal to the window `owner` (an opaque
    // native handle; 0 for none), offering the formats that `pcmInput` converts to.
    // Returns the choice, or nothing when the user cancelled or the dialog failed.
    // Called on the UI thread; may run a nested event loop.
    virtual std::optional<ChosenFormat> Choose(const std::string& title, const WaveFormat& pcmInput,
                                               uintptr_t owner) = 0;
};

}  // namespace tavrino
