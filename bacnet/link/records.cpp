#include "bacnet/link/records.h"

#include <cstring>
#include <utility>

namespace zb::bacnet {

void ClearAddressInfo(TBACnetAddressInfo& info) { info = TBACnetAddressInfo{}; }

void CopyAddressInfo(const TBACnetAddressInfo& from, TBACnetAddressInfo& to) { to = from; }

void MakeReplyAddressInfo(const TBACnetAddressInfo& s, TBACnetAddressInfo& t) {
  // Copy first through temporaries: source and target may be the same record.
  TBACnetAddressInfo src = s;
  t.SourceAddress = src.DestinationAddress;
  t.DestinationAddress = src.SourceAddress;
  t.SourceNetwork = src.DestinationNetwork;
  t.DestinationNetwork = src.SourceNetwork;
  t.RemoteSourceAddress = src.RemoteDestinationAddress;
  t.RemoteDestinationAddress = src.RemoteSourceAddress;
  t.Priority = src.Priority;
  // A reply goes to its requester alone, however the request arrived.
  t.Broadcast = false;
  t.Forwarded = src.Forwarded;
  t.ForwardedFrom = src.ForwardedFrom;
  t.SourceNetworkPresent = src.SourceNetworkPresent;
  t.RouterAddress = src.RouterAddress;
}

void SwapAddressInfo(TBACnetAddressInfo& i) {
  std::swap(i.SourceAddress, i.DestinationAddress);
  std::swap(i.SourceNetwork, i.DestinationNetwork);
  std::swap(i.RemoteSourceAddress, i.RemoteDestinationAddress);
}

void ClearNPDU(TBACnetNPDU& npdu) {
  ClearAddressInfo(npdu);
  npdu.Length = 0;
  std::memset(npdu.Data, 0, sizeof npdu.Data);
  npdu.ExpectingReply = false;
}

void ClearFrame(TBACnetFrame& frame) {
  ClearAddressInfo(frame);
  frame.Length = 0;
  std::memset(frame.Data, 0, sizeof frame.Data);
}

}  // namespace zb::bacnet
