#include "platform/Log.h"

#include <syslog.h>

#include <string>

namespace tavrino {

void LogError(std::string_view text) {
    static const bool opened = [] {
        openlog("tavrino", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    const std::string copy(text);
    syslog(LOG_ERR, "%s", copy.c_str());
}

}  // namespace tavrino
