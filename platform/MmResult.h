// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The result codes of the platform's multimedia functions, shared by the stand-ins that
// keep their contract (wave input and the mixer in platform/audio, the conversion stream
// in platform/acm): 0 is success, the rest name the failure. Numbered as the platform's,
// so that a value seen in a log means the same everywhere.

#include <cstdint>

namespace tavrino {

using MMRESULT = uint32_t;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;

}  // namespace tavrino
