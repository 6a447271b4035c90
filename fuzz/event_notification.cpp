// Unconfirmed event notifications from the network: the device's dispatch and the location and
// conversion of every parameter in the decoded tagged values.
#include "bacnet/app/event_notification.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bacnet/app/acknowledge_alarm.h"
#include "bacnet/app/device.h"
#include "bacnet/app/tagged_list.h"
#include "platform/message_loop.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zb::bacnet;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  zb::platform::MessageLoop loop;
  TBACnetDevice dev(loop);
  int raised = 0;
  dev.OnNotificationReceived = [&](void*, const TBACnetPDU& pdu) {
    ++raised;
    const TEventNotification n = DecodeEventNotification(pdu.Values);
    // Octet strings of the time stamp are taken as they came, four octets at most.
    if (n.TimeStampDate.size() > 4 || n.TimeStampTime.size() > 4) std::abort();
    if (std::isnan(n.TimeStamp)) std::abort();
  };
  TBACnetPDU pdu;
  ClearPDU(pdu);
  pdu.PDUType = kPDUUnconfirmedRequest;
  pdu.ServiceChoice = 3;
  pdu.SourceAddress = std::string("\x0a\x00\x00\x02\xba\xc0", 6);
  pdu.ServiceData = std::string(in);
  pdu.Values = DecodeTaggedList(in);
  dev.HandleIndication(nullptr, pdu);
  if (raised != 1) std::abort();
  // The acknowledgement of whatever was decoded encodes without trouble.
  const TEventNotification n = DecodeEventNotification(pdu.Values);
  TAcknowledgeAlarm ack{n.ProcessIdentifier,
                        n.EventObjectType,
                        n.EventInstance,
                        n.ToState,
                        n.TimeStampDate + n.TimeStampTime,
                        n.MessageText,
                        n.TimeStampDate + n.TimeStampTime};
  TAcknowledgeAlarm back;
  const bool whole = n.TimeStampDate.size() == 4 && n.TimeStampTime.size() == 4;
  if (!DecodeAcknowledgeAlarm(DecodeTaggedList(EncodeAcknowledgeAlarm(ack)), back) && whole)
    std::abort();
  if (whole && (back.TimeStamp != ack.TimeStamp || back.UserName != ack.UserName)) std::abort();
  return 0;
}
