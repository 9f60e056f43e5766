#pragma once
// The application event log: error entries go to syslog (journald) with the
// identity "tavrino" and priority LOG_ERR.

#include <string_view>

namespace tavrino {

void LogError(std::string_view text);

}  // namespace tavrino
