// BACnet/IP datagram receipt: any datagram from any sender is dropped or delivered as a frame
// that lies inside its record, and the network layer above copes with whatever is delivered.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bacnet/link/data_link_bip.h"
#include "bacnet/net/network.h"

using namespace zb::bacnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static zb::platform::MessageLoop loop;
  static TBACnetDataLinkBIP* link = [] {
    auto* l = new TBACnetDataLinkBIP(loop);
    l->SetLocalHost("10.0.0.1");
    return l;
  }();
  static TBACnetNetwork network;
  static bool wired = [] {
    network.DataLink = link;
    link->OnReceive = [](void*, const TBACnetFrame& f) {
      if (f.Length < 0 || f.Length > kFrameDataSize) std::abort();
      if (f.SourceAddress.size() != 6) std::abort();
      network.ReceiveFrame(f);
    };
    network.OnReceive = [](void*, const TBACnetNPDU& n) {
      if (n.Length < 0 || n.Length > kNPDUDataSize) std::abort();
    };
    return true;
  }();
  (void)wired;
  if (size < 1) return 0;
  static const char* hosts[] = {"10.0.0.7", "10.0.0.1", "192.168.1.200", "not an address"};
  const char* host = hosts[data[0] & 3];
  link->ReceiveDatagram(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), host,
                        (data[0] >> 2) * 1000);
  return 0;
}
