// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the processor offers the kernels that have a wide (AVX2) twin on x86-64.

namespace tavrino {

// True on an x86-64 processor with AVX2 whose system saves the wide registers
// (__builtin_cpu_supports checks both); false on every other processor.
inline bool CpuHasAvx2() noexcept {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

}  // namespace tavrino
