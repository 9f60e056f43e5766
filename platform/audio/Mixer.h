// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The mixer of a wave-input device, with the contract of the platform's mixer functions,
// over the capture source's input lines.
//
// Each mixer has one destination, the recording destination (component type
// MIXERLINE_COMPONENTTYPE_DST_WAVEIN), whose connections are the source's input lines (for
// PulseAudio: the source's ports, named by their descriptions; a source without ports has
// one line named after the source). The destination carries one multiplexer control
// (MIXERCONTROL_CONTROLTYPE_MUX) whose items list the lines in reverse order: item j is
// line connections - 1 - j; the item set to 1 is the selected line (the active port).
// Each source line carries one volume control (MIXERCONTROL_CONTROLTYPE_VOLUME) whose
// channels hold raw values 0 .. 65535 (PulseAudio: the source volume on the scale of
// ServerVolumeFromRaw in Backend.h, 65535 = exactly 100 %, above 100 % read as 65535;
// writing the line volume sets the source volume).
//
// Line IDs: destination 0xFFFF0000; source line i: (i + 1) << 16. Control IDs: the
// multiplexer 1; the volume of line i 0x100 + i.
//
// Calls answer from what the backend keeps of the device's lines and volume, refreshed on
// the sound server's change events: reading costs no round trip, a volume write is sent
// without waiting for it, and only mixerOpen and selecting a line wait for the server (at
// most kServerWaitLimitMs, Backend.h). A handle stays valid after its device disappears;
// calls on it then fail with MMSYSERR_NODRIVER. Handle 0 is invalid
// (MMSYSERR_INVALHANDLE). Call from one thread (the UI thread).

#include <cstdint>
#include <span>
#include <string>

#include "platform/audio/WaveIn.h"

namespace tavrino::audio {

using HMIXER = std::uintptr_t;

inline constexpr uint32_t MIXER_OBJECTF_WAVEIN = 0x20000000;

inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_DIGITAL = 0x1001;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY = 0x1009;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A;

inline constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001;
inline constexpr uint32_t MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;

inline constexpr uint32_t MIXER_GETLINEINFOF_DESTINATION = 0;
inline constexpr uint32_t MIXER_GETLINEINFOF_SOURCE = 1;
inline constexpr uint32_t MIXER_GETLINEINFOF_COMPONENTTYPE = 3;
inline constexpr uint32_t MIXER_GETLINECONTROLSF_ONEBYTYPE = 2;
inline constexpr uint32_t MIXER_GETCONTROLDETAILSF_VALUE = 0;
inline constexpr uint32_t MIXER_SETCONTROLDETAILSF_VALUE = 0;

inline constexpr MMRESULT MIXERR_INVALLINE = 1024;
inline constexpr MMRESULT MIXERR_INVALCONTROL = 1025;

struct MIXERCAPS {
    std::string szPname;
    uint32_t cDestinations = 0;
};

// In: dwDestination / dwSource / dwComponentType as the look-up needs. Out: everything.
struct MIXERLINE {
    uint32_t dwDestination = 0;
    uint32_t dwSource = 0;
    uint32_t dwLineID = 0;
    uint32_t dwComponentType = 0;
    uint32_t cChannels = 0;
    uint32_t cConnections = 0;
    uint32_t cControls = 0;
    std::string szName;  // the line's name, UTF-8, no padding
};

struct MIXERCONTROL {
    uint32_t dwControlID = 0;
    uint32_t dwControlType = 0;
    uint32_t cMultipleItems = 0;
    std::string szName;
};

// A request for control values: one value per channel (cMultipleItems 0) or per item and
// channel (cChannels x cMultipleItems). `paDetails` must hold that many values.
struct MIXERCONTROLDETAILS {
    uint32_t dwControlID = 0;
    uint32_t cChannels = 0;
    uint32_t cMultipleItems = 0;
    std::span<uint32_t> paDetails;
};

// uMxId is a wave-input device number (fdwOpen MIXER_OBJECTF_WAVEIN), WAVE_MAPPER for the
// default source. *phmx is 0 on failure.
MMRESULT mixerOpen(HMIXER* phmx, int32_t uMxId, std::uintptr_t dwCallback, std::uintptr_t dwInstance,
                   uint32_t fdwOpen);
MMRESULT mixerClose(HMIXER hmx);
MMRESULT mixerGetDevCaps(HMIXER hmx, MIXERCAPS& caps);
MMRESULT mixerGetLineInfo(HMIXER hmx, MIXERLINE& line, uint32_t fdwInfo);
// Fills controls[0] with the line's control of type dwControlType (ONEBYTYPE); the rest of
// the span is left as it is.
MMRESULT mixerGetLineControls(HMIXER hmx, uint32_t dwLineID, uint32_t dwControlType,
                              std::span<MIXERCONTROL> controls, uint32_t fdwControls);
MMRESULT mixerGetControlDetails(HMIXER hmx, MIXERCONTROLDETAILS& details, uint32_t fdwDetails);
MMRESULT mixerSetControlDetails(HMIXER hmx, const MIXERCONTROLDETAILS& details, uint32_t fdwDetails);

}  // namespace tavrino::audio
