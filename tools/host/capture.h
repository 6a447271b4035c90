// `zelbacnet capture SITE FILE`: a session's traffic, live, as a pcap file (FILE "-" for
// standard output, e.g. piped into Wireshark).
#pragma once

#include <string>

#include "tools/host/host_link.h"

namespace zb::host {

// Runs until the session goes away, the output cannot be written any more (the reader went),
// or SIGINT/SIGTERM; then reports the frames written and dropped on standard error.
// Exit status: 0 after a normal end, 1 when the capture could not start.
int Capture(HostLink& link, const std::string& site, const std::string& file);

}  // namespace zb::host
