// Unconfirmed event notifications as the session reads them: the record and its decoding.
#pragma once

#include <cstdint>
#include <string>

#include "platform/variant.h"

namespace zb::bacnet {

// The parameters of an UnconfirmedEventNotification, located in its tagged value list. Missing or
// malformed parameters are left at their zero values (Has* tell which optional ones were found).
struct TEventNotification {
  uint32_t ProcessIdentifier = 0;
  int32_t InitiatingObjectType = 0;
  int32_t InitiatingInstance = 0;
  int32_t EventObjectType = 0;
  int32_t EventInstance = 0;
  std::string TimeStampDate;  // the four date octets as received (date-time form only)
  std::string TimeStampTime;  // the four time octets as received
  double TimeStamp = 0;       // date plus time of day; 0 when not given in date-time form
  uint32_t EventType = 0;
  std::string MessageText;  // character-set octet dropped
  uint32_t NotifyType = 0;  // 0 alarm, 1 event, 2 ack-notification
  bool AckRequired = false;
  uint32_t ToState = 0;
  // Event values by event type.
  std::string BitStringValue;  // change-of-bitstring: referenced bit string
  bool HasBitStringValue = false;
  std::string ChangedBits;  // change-of-value: changed bits
  bool HasChangedBits = false;
  double ChangedValue = 0;  // change-of-value: changed value
  bool HasChangedValue = false;
  double ReferenceValue = 0;  // floating-limit
  bool HasReferenceValue = false;
  double ExceedingValue = 0;  // out-of-range
  bool HasExceedingValue = false;
};

// Never throws; a Values that is not a list yields all zero values.
TEventNotification DecodeEventNotification(const Variant& values);

}  // namespace zb::bacnet
