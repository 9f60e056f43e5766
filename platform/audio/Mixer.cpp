// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/Mixer.h"

#include <algorithm>
#include <vector>

#include "platform/HandleTable.h"
#include "platform/audio/Backend.h"

namespace tavrino::audio {

namespace {

constexpr uint32_t kDestinationLineId = 0xFFFF0000u;
constexpr uint32_t kMuxControlId = 1;
constexpr uint32_t kVolumeControlBase = 0x100;
constexpr uint32_t kMaxChannels = 8;

uint32_t SourceLineId(uint32_t i) { return (i + 1) << 16; }

struct OpenMixer {
    std::shared_ptr<Backend> backend;  // outlives the mixer
    std::unique_ptr<DeviceMixer> mixer;
};

HandleTable<HMIXER, std::shared_ptr<OpenMixer>>& Mixers() {
    static HandleTable<HMIXER, std::shared_ptr<OpenMixer>> mixers(0x7000);
    return mixers;
}

std::shared_ptr<OpenMixer> Find(HMIXER h) { return Mixers().Find(h).value_or(nullptr); }

void FillDestination(const std::vector<LineInfo>& lines, MIXERLINE& line) {
    line.dwDestination = 0;
    line.dwSource = 0;
    line.dwLineID = kDestinationLineId;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    line.cChannels = 2;
    line.cConnections = static_cast<uint32_t>(lines.size());
    line.cControls = 1;
    line.szName = "录音";
}

void FillSource(const std::vector<LineInfo>& lines, uint32_t i, MIXERLINE& line) {
    line.dwDestination = 0;
    line.dwSource = i;
    line.dwLineID = SourceLineId(i);
    line.dwComponentType = lines[i].componentType;
    line.cChannels = lines[i].channels;
    line.cConnections = 0;
    line.cControls = 1;
    line.szName = lines[i].name;
}

}  // namespace

MMRESULT mixerOpen(HMIXER* phmx, int32_t uMxId, std::uintptr_t, std::uintptr_t, uint32_t fdwOpen) {
    if (phmx == nullptr) return MMSYSERR_INVALPARAM;
    *phmx = 0;
    if ((fdwOpen & ~MIXER_OBJECTF_WAVEIN) != 0) return MMSYSERR_INVALFLAG;
    auto backend = CurrentBackend();
    if (uMxId != WAVE_MAPPER && (uMxId < 0 || uMxId >= backend->DeviceCount())) return MMSYSERR_BADDEVICEID;
    auto mixer = backend->OpenMixer(uMxId);
    if (!mixer) return MMSYSERR_NODRIVER;
    *phmx = Mixers().Add(std::make_shared<OpenMixer>(OpenMixer{backend, std::move(mixer)}));
    return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER hmx) {
    // The mixer is released here, outside the table's lock.
    return Mixers().Remove(hmx) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT mixerGetDevCaps(HMIXER hmx, MIXERCAPS& caps) {
    auto open = Find(hmx);
    if (!open) return MMSYSERR_INVALHANDLE;
    caps.szPname = open->mixer->Name();
    caps.cDestinations = 1;
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfo(HMIXER hmx, MIXERLINE& line, uint32_t fdwInfo) {
    auto open = Find(hmx);
    if (!open) return MMSYSERR_INVALHANDLE;
    std::vector<LineInfo> lines;
    if (!open->mixer->Lines(lines)) return MMSYSERR_NODRIVER;
    switch (fdwInfo) {
    case MIXER_GETLINEINFOF_DESTINATION:
        if (line.dwDestination != 0) return MMSYSERR_INVALPARAM;
        FillDestination(lines, line);
        return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_SOURCE:
        if (line.dwDestination != 0 || line.dwSource >= lines.size()) return MIXERR_INVALLINE;
        FillSource(lines, line.dwSource, line);
        return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
        if (line.dwComponentType == MIXERLINE_COMPONENTTYPE_DST_WAVEIN) {
            FillDestination(lines, line);
            return MMSYSERR_NOERROR;
        }
        for (uint32_t i = 0; i < lines.size(); ++i) {
            if (lines[i].componentType == line.dwComponentType) {
                FillSource(lines, i, line);
                return MMSYSERR_NOERROR;
            }
        }
        return MIXERR_INVALLINE;
    default:
        return MMSYSERR_INVALFLAG;
    }
}

MMRESULT mixerGetLineControls(HMIXER hmx, uint32_t dwLineID, uint32_t dwControlType, std::span<MIXERCONTROL> controls,
                              uint32_t fdwControls) {
    auto open = Find(hmx);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (fdwControls != MIXER_GETLINECONTROLSF_ONEBYTYPE) return MMSYSERR_INVALFLAG;
    if (controls.empty()) return MMSYSERR_INVALPARAM;
    std::vector<LineInfo> lines;
    if (!open->mixer->Lines(lines)) return MMSYSERR_NODRIVER;
    MIXERCONTROL& c = controls[0];
    if (dwLineID == kDestinationLineId) {
        if (dwControlType != MIXERCONTROL_CONTROLTYPE_MUX) return MIXERR_INVALCONTROL;
        c.dwControlID = kMuxControlId;
        c.dwControlType = MIXERCONTROL_CONTROLTYPE_MUX;
        c.cMultipleItems = static_cast<uint32_t>(lines.size());
        c.szName = "录音源";
        return MMSYSERR_NOERROR;
    }
    const uint32_t source = (dwLineID >> 16) - 1;
    if ((dwLineID & 0xFFFF) != 0 || source >= lines.size()) return MIXERR_INVALLINE;
    if (dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
    c.dwControlID = kVolumeControlBase + source;
    c.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    c.cMultipleItems = 0;
    c.szName = lines[source].name;
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetControlDetails(HMIXER hmx, MIXERCONTROLDETAILS& d, uint32_t fdwDetails) {
    auto open = Find(hmx);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (fdwDetails != MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
    std::vector<LineInfo> lines;
    if (!open->mixer->Lines(lines)) return MMSYSERR_NODRIVER;
    const uint32_t n = static_cast<uint32_t>(lines.size());
    if (d.dwControlID == kMuxControlId) {
        // One channel is enough for a multiplexer: every channel holds the same items.
        if (d.cMultipleItems != n || d.paDetails.size() < n) return MMSYSERR_INVALPARAM;
        const int32_t active = open->mixer->ActiveLine();
        if (active < 0) return MMSYSERR_NODRIVER;
        for (uint32_t j = 0; j < n; ++j) d.paDetails[j] = (static_cast<int32_t>(n - 1 - j) == active) ? 1 : 0;
        return MMSYSERR_NOERROR;
    }
    const uint32_t source = d.dwControlID - kVolumeControlBase;
    if (d.dwControlID < kVolumeControlBase || source >= n) return MIXERR_INVALCONTROL;
    const uint32_t channels = std::min(d.cChannels, kMaxChannels);
    if (channels == 0 || d.paDetails.size() < channels) return MMSYSERR_INVALPARAM;
    if (!open->mixer->GetVolume(static_cast<int32_t>(source), d.paDetails.first(channels))) return MMSYSERR_NODRIVER;
    return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXER hmx, const MIXERCONTROLDETAILS& d, uint32_t fdwDetails) {
    auto open = Find(hmx);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (fdwDetails != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
    std::vector<LineInfo> lines;
    if (!open->mixer->Lines(lines)) return MMSYSERR_NODRIVER;
    const uint32_t n = static_cast<uint32_t>(lines.size());
    if (d.dwControlID == kMuxControlId) {
        if (d.cMultipleItems != n || d.paDetails.size() < n) return MMSYSERR_INVALPARAM;
        // The first item set to non-zero is the one selected; all zero selects nothing.
        for (uint32_t j = 0; j < n; ++j) {
            if (d.paDetails[j] != 0) {
                return open->mixer->SelectLine(static_cast<int32_t>(n - 1 - j)) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
            }
        }
        return MMSYSERR_NOERROR;
    }
    const uint32_t source = d.dwControlID - kVolumeControlBase;
    if (d.dwControlID < kVolumeControlBase || source >= n) return MIXERR_INVALCONTROL;
    const uint32_t channels = std::min(d.cChannels, kMaxChannels);
    if (channels == 0 || d.paDetails.size() < channels) return MMSYSERR_INVALPARAM;
    uint32_t values[kMaxChannels];
    for (uint32_t c = 0; c < channels; ++c) values[c] = std::min<uint32_t>(d.paDetails[c], 65535);
    if (!open->mixer->SetVolume(static_cast<int32_t>(source), std::span<const uint32_t>(values, channels)))
        return MMSYSERR_NODRIVER;
    return MMSYSERR_NOERROR;
}

}  // namespace tavrino::audio
