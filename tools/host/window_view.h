// The driver window and its session windows in a terminal, read and operated through the host
// connection's window ops.
#pragma once

#include <string>

#include "tools/host/host_link.h"

namespace zb::host {

// Live view until q (or one snapshot with once). Answers the exit status.
int View(HostLink& link, bool once, int lines);
// Presses CONTROL on WINDOW ("main", a session's Description or a window number).
int Press(HostLink& link, const std::string& window, const std::string& control);

}  // namespace zb::host
