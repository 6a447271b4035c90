// The APDU record passed between the device object, the sessions and the application layer:
// the addressing header, the decoded APDU header fields, the encoded service parameters and the
// same parameters as a tagged value list.
#pragma once

#include <cstdint>
#include <string>

#include "bacnet/link/records.h"
#include "platform/variant.h"

namespace zb::bacnet {

// APDU types as carried in the top nibble of the first APDU octet.
enum : uint8_t {
  kPDUConfirmedRequest = 0,
  kPDUUnconfirmedRequest = 1,
  kPDUSimpleAck = 2,
  kPDUComplexAck = 3,
  kPDUSegmentAck = 4,
  kPDUError = 5,
  kPDUReject = 6,
  kPDUAbort = 7,
};

struct TBACnetPDU : TBACnetAddressInfo {
  bool ExpectingReply = false;
  uint8_t PDUType = 0;
  bool SegmentedMessage = false;
  bool MoreFollows = false;
  bool SegmentedResponseAccepted = false;
  uint8_t MaxSegments = 0;  // the 3-bit code as on the wire
  uint16_t MaxAPDU = 0;     // octets (50..1476), or the raw code when it is outside 0..5
  uint8_t InvokeID = 0;
  uint8_t SequenceNumber = 0;
  uint8_t ProposedWindowSize = 0;
  int32_t ServiceChoice = 0;
  bool NegativeAck = false;
  bool Server = false;
  uint8_t ActualWindowSize = 0;
  uint8_t ErrorClass = 0;
  uint8_t ErrorCode = 0;  // also the reason of a Reject or Abort
  int32_t TransactionHandle = 0;
  std::string ServiceData;
  Variant Values = Variant("");
};

// Resets header and APDU fields, empties ServiceData and sets Values to the empty text.
void ClearPDU(TBACnetPDU& pdu);
// Copies every field, ServiceData and Values included.
void CopyPDU(const TBACnetPDU& from, TBACnetPDU& to);

}  // namespace zb::bacnet
