// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Log.h"

#include <syslog.h>

#include <string>

namespace tavrino {

namespace {

void Log(int priority, std::string_view text) {
    static const bool opened = [] {
        openlog("tavrino", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    const std::string copy(text);
    syslog(priority, "%s", copy.c_str());
}

}  // namespace

void LogError(std::string_view text) { Log(LOG_ERR, text); }

void LogNotice(std::string_view text) { Log(LOG_NOTICE, text); }

}  // namespace tavrino
