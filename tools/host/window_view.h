// The driver window and its session windows in a terminal, read and operated through the host
// connection's window ops.
#pragma once

#include <string>
#include <vector>

#include "tools/host/host_link.h"

namespace zb::host {

// Live view until q (or one snapshot with once). Answers the exit status.
int View(HostLink& link, bool once, int lines);
// A session window's text views: the line counts and the last lines asked for.
struct SessionViews {
  int log_count = 0, trace_count = 0;
  std::vector<std::string> log, trace;
};
// The views of the session whose Description is `description` (letter case ignored, as the
// driver's registry does); false when there is no such session.
bool ReadSessionViews(HostLink& link, const std::string& description, int lines,
                      SessionViews& views, std::string& error);
// Presses CONTROL on WINDOW ("main", a session's Description or a window number).
int Press(HostLink& link, const std::string& window, const std::string& control);

}  // namespace zb::host
