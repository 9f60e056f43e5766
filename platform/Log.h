// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application event log: entries go to syslog (journald) with the identity
// "tavrino": errors with priority LOG_ERR, notices (how the program adapted to the
// desktop it runs on) with LOG_NOTICE.

#include <string_view>

namespace tavrino {

void LogError(std::string_view text);
void LogNotice(std::string_view text);

}  // namespace tavrino
