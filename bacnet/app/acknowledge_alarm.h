// AcknowledgeAlarm: the request record, its service data and its decoding.
#pragma once

#include <cstdint>
#include <string>

#include "platform/variant.h"

namespace zb::bacnet {

struct TAcknowledgeAlarm {
  uint32_t ProcessIdentifier = 0;
  int EventObjectType = 0;
  int EventInstance = 0;
  uint32_t ToState = 0;
  // The notification's time stamp: eight raw octets, date then time, repeated unchanged.
  std::string TimeStamp;
  std::string UserName;
  // The acknowledgement's own time stamp as four date and four time octets.
  std::string AckTimeStamp;
};

// [0] process, [1] event object, [2] state, [3] { [2] date time } [3], [4] source,
// [5] { [2] date time } [5].
std::string EncodeAcknowledgeAlarm(const TAcknowledgeAlarm& request);
// The request from its tagged value list; false when a parameter is missing or malformed.
bool DecodeAcknowledgeAlarm(const Variant& values, TAcknowledgeAlarm& request);

}  // namespace zb::bacnet
