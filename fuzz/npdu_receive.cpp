// NPDU receipt by the network layer: any frame is dropped or delivered inside the NPDU record,
// router learning stays bounded by what arrives, and answering what was delivered stays inside
// the frame record.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bacnet/net/network.h"

using namespace zb::bacnet;

namespace {

class SinkLink : public TBACnetDataLink {
 public:
  bool Send(const TBACnetFrame& f) override {
    if (f.Length < 0 || f.Length > kFrameDataSize) std::abort();
    return true;
  }
  bool IsPointToPoint() const override { return ptp; }
  bool ptp = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SinkLink link;
  static TBACnetNetwork network;
  static TBACnetFrame frame;
  if (size < 1) return 0;
  network.DataLink = &link;
  network.Open(true);  // a fresh router table for every input
  link.ptp = data[0] & 1;
  network.NetworkNumber = 13689;
  network.SourceAddressValue = 998;
  network.OnReceive = [](void*, const TBACnetNPDU& n) {
    if (n.Length < 0 || n.Length > kNPDUDataSize) std::abort();
    TBACnetNPDU reply;
    MakeReplyAddressInfo(n, reply);
    reply.Length = n.Length;
    std::memcpy(reply.Data, n.Data, n.Length);
    network.SendNPDU(reply);
  };
  ClearFrame(frame);
  frame.SourceAddress = (data[0] & 2) ? "<Local>" : "\x0A\x00\x00\x07\xBA\xC0";
  const size_t n = size - 1 < static_cast<size_t>(kFrameDataSize) ? size - 1 : kFrameDataSize;
  std::memcpy(frame.Data, data + 1, n);
  // Sometimes claim more than was filled in: the rest of the record is zeros, never beyond it.
  frame.Length = (data[0] & 4) ? kFrameDataSize + 100 : static_cast<int>(n);
  network.ReceiveFrame(frame);
  if (network.RouterTable().size() > 1100) std::abort();
  return 0;
}
