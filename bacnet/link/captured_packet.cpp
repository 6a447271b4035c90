#include "bacnet/link/captured_packet.h"

#include <chrono>

namespace zb::bacnet {

int64_t CaptureTimeNow() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace zb::bacnet
