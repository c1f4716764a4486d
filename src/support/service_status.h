// The status line a service manager shows for the program (systemd's
// "STATUS=", through the notify socket it hands over). Nothing happens when
// the program does not run under such a manager.
#pragma once

#include <string>

// Control characters in the text are escaped as in the log.
void setServiceStatus(const std::string& text);
