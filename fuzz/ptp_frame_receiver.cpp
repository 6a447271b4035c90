// Random octets, ticks and line errors into the PTP frame receiver. The queue stays within its
// bound, every queued frame must fit the 501-octet limit, and a good frame sent afterwards must
// still come through.
#include "bacnet/link/ptp_frame_receiver.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "bacnet/link/ptp_frame.h"

using namespace zb::bacnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TPTPFrameReceiver r;
  int starts = 0;
  r.OnFrameStart = [&] { ++starts; };
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    // A rare escape into control: 0xFE n = n ticks, 0xFD = line error.
    if (b == 0xFE && i + 1 < size) {
      int ticks = data[++i] & 31;
      for (int t = 0; t < ticks; ++t) {
        ++r.SilenceTimer;
        r.CheckTimeout();
      }
      continue;
    }
    if (b == 0xFD) {
      r.LineError();
      continue;
    }
    r.ReceiveOctet(b);
  }
  if (r.ReceiveQueue.size() > TPTPFrameReceiver::kMaxQueued) std::abort();
  for (auto& f : r.ReceiveQueue)
    if (f.Data.size() > static_cast<size_t>(kPTPMaxData) || (f.Invalid && !f.Data.empty()))
      std::abort();
  r.ReceiveQueue.clear();
  // Recovery: after at most 2 s of silence the next good frame is received whole.
  for (int t = 0; t < 21; ++t) {
    ++r.SilenceTimer;
    r.CheckTimeout();
  }
  r.ReceiveQueue.clear();  // the time-out may have queued a marker
  std::string good = BuildPTPFrame(ptpData1, std::string("\x10\x11\x13probe", 8));
  for (unsigned char c : good) r.ReceiveOctet(c);
  if (r.ReceiveQueue.size() != 1 || r.ReceiveQueue.front().Invalid ||
      r.ReceiveQueue.front().FrameType != ptpData1 ||
      r.ReceiveQueue.front().Data != std::string("\x10\x11\x13probe", 8))
    std::abort();
  return 0;
}
