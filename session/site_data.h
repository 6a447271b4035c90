// What a session keeps of its site besides the stack: the connection settings, the point cache
// the scan fills, and the buffers the workers and notifications fill for the host to fetch.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "session/connection_info.h"
#include "session/point_table.h"
#include "session/trend_records.h"

namespace zb {

struct TSiteData {
  TConnectionInfo Info;
  bool Offline = false;
  bool Connected = false;  // the stack is open on the site's link (or the site is offline)
  TPointCache Points;      // PointTable, PointsReplaced and the scan state
  double SiteClockOffset = 0;
  std::vector<std::string> VendorCache;  // kept sorted
  std::deque<std::string> AlarmBuffer;   // oldest first
  int64_t AlarmsDropped = 0;             // pushed out unfetched by a full buffer
  TTrendBuffer TrendBuffer;
  int TrendCount() const { return TrendBuffer.Count(); }
};

}  // namespace zb
