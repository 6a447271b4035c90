// The addressing header and the fixed-capacity records that carry NPDUs and APDUs between the
// application layer, the network layer and the data links. Plain values, copied by assignment.
#pragma once

#include <cstdint>

#include "support/short_string.h"

namespace zb::bacnet {

struct TBACnetAddressInfo {
  ShortString<22> SourceAddress;
  ShortString<22> DestinationAddress;
  int32_t Priority = 0;
  bool Broadcast = false;
  bool Forwarded = false;
  ShortString<22> ForwardedFrom;
  bool SourceNetworkPresent = false;
  int32_t SourceNetwork = 0;
  int32_t DestinationNetwork = 0;
  ShortString<22> RemoteSourceAddress;
  ShortString<22> RemoteDestinationAddress;
  ShortString<6> RouterAddress;
  bool NetworkMessage = false;
  uint8_t NetworkMessageType = 0;
};

constexpr int kNPDUDataSize = 2048;
constexpr int kFrameDataSize = 2080;

struct TBACnetNPDU : TBACnetAddressInfo {
  int32_t Length = 0;
  uint8_t Data[kNPDUDataSize] = {};
  bool ExpectingReply = false;
};

struct TBACnetFrame : TBACnetAddressInfo {
  int32_t Length = 0;
  uint8_t Data[kFrameDataSize] = {};
};

// Header operations shared by all three records (TBACnetPDU derives from TBACnetAddressInfo too).
void ClearAddressInfo(TBACnetAddressInfo& info);
void CopyAddressInfo(const TBACnetAddressInfo& from, TBACnetAddressInfo& to);
// Writes into `target` the header of a reply to `source` (see the field mapping in records.cpp).
void MakeReplyAddressInfo(const TBACnetAddressInfo& source, TBACnetAddressInfo& target);
void SwapAddressInfo(TBACnetAddressInfo& info);
void ClearNPDU(TBACnetNPDU& npdu);
void ClearFrame(TBACnetFrame& frame);

}  // namespace zb::bacnet
