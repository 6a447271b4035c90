#pragma once

#include <string>
#include <vector>

namespace zb {

class TSiteSession;

// Whoever runs operations on a session (the driver object). Sessions refer to their clients
// without owning them; a session that goes away first tells every client that uses it.
class TSessionClient {
 public:
  virtual ~TSessionClient() = default;
  // Scratch list of SENDPOINTSLIST (the point texts last installed by this client).
  std::vector<std::string> PointNames;
  // The session is being destroyed; forget it.
  virtual void SessionGone(TSiteSession* session) = 0;
};

}  // namespace zb
