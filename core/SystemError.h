// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The system's reason for a failed file operation, in the program's language: the wording
// of the Chinese C library for the reasons a user meets when saving a recording, the C
// library's own text for the rest.

#include <string>

namespace tavrino {

// "权限不够" for EACCES, "是一个目录" for EISDIR, ...; strerror() for others.
std::string SystemErrorText(int errnum);

}  // namespace tavrino
