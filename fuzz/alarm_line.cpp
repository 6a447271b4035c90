// Event notifications from the network turned into alarm lines, and acknowledgement references
// from the host parsed back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bacnet/app/event_notification.h"
#include "bacnet/app/tagged_list.h"
#include "session/alarm_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const zb::bacnet::TEventNotification n =
      zb::bacnet::DecodeEventNotification(zb::bacnet::DecodeTaggedList(in));
  std::string line;
  zb::FormatAlarmLine(n, 5, in.substr(0, in.size() < 6 ? in.size() : 6), line);
  zb::TAlarmMessage m;
  m.Message = std::string(in);
  zb::ApplyMessagePrefix(m);
  zb::TAckReference r;
  zb::ParseAckReference(in, r);
  return 0;
}
