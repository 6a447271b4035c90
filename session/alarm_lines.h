// Alarm lines: one text per received alarm or event notification, as the host fetches them,
// {time}{message}{class}{level}{acknowledge}{note}, and the acknowledgement reference embedded
// in the message ("BND:" + hexadecimal) that ACKALARM turns back into an AcknowledgeAlarm.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bacnet/app/event_notification.h"

namespace zb {

// What the acknowledgement reference carries.
struct TAckReference {
  uint32_t ProcessIdentifier = 0;
  int32_t InitiatingObjectType = 0;
  int32_t InitiatingInstance = 0;
  int32_t EventObjectType = 0;
  int32_t EventInstance = 0;
  uint32_t ToState = 0;
  std::string TimeStamp;  // eight octets: the encoded date, then the encoded time
  uint16_t Network = 0;
  std::string Address;  // source device address octets
};

// Upper-case hexadecimal of the reference's octets. Empty when a value does not fit its field
// (an instance above 65535, for example): a reference that would parse back into other values
// is worse than none.
std::string FormatAckReference(const TAckReference& ref);
// The notification's reference, with the source network and address of its PDU.
TAckReference AckReferenceOf(const bacnet::TEventNotification& n, int sourceNetwork,
                             std::string_view sourceAddress);
// False when the text is shorter than the fixed part (24 octets).
bool ParseAckReference(std::string_view hex, TAckReference& ref);

// The message edited by the prefix rules ({<letter><digit>...), with class, level, acknowledge
// and note as the prefix gives them. Without a prefix only class is left as given.
struct TAlarmMessage {
  std::string Message;
  int Class = 1;
  int Level = 3;
  bool Acknowledge = true;
  std::string Note;
};
void ApplyMessagePrefix(TAlarmMessage& m);

// "{mm/dd/yyyy hh:nn}" of a date-time value.
std::string AlarmTimeText(double dateTime);

// The alarm line of a notification; false (no line) for ack-notifications, notifications
// without a date-time stamp and other notify types.
bool FormatAlarmLine(const bacnet::TEventNotification& n, int sourceNetwork,
                     std::string_view sourceAddress, std::string& line);

}  // namespace zb
