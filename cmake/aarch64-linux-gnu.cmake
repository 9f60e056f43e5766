# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu. Used by the
# aarch64 check of make test, which builds only the processor-independent modules
# (-DTAVRINO_PORTABLE_ONLY=ON): libraries, nothing linked or run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The compiler checks build a library instead of a program: no target libraries needed.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
