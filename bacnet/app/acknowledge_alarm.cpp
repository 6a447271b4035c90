#include "bacnet/app/acknowledge_alarm.h"

#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

namespace {

std::string DateTime(int tag, const std::string& stamp) {
  const int a = kTagClassApplication;
  const std::string date = stamp.substr(0, 4);
  const std::string time = stamp.size() > 4 ? stamp.substr(4, 4) : std::string();
  return EncodeOpeningTag(tag) + EncodeOpeningTag(2) + EncodeDate(a, 0, date) +
         EncodeTime(a, 0, time) + EncodeClosingTag(2) + EncodeClosingTag(tag);
}

// [tag] { [2] date, time [2] } [tag] at `at`: the eight octets, and `at` past it.
bool DecodeDateTime(const Variant& list, int& at, int tag, std::string& stamp) {
  if (!IsTaggedElement(list, at, kElementOpening, tag) ||
      !IsTaggedElement(list, at + 1, kElementOpening, 2))
    return false;
  const TTaggedElement date = TaggedElementAt(list, at + 2);
  const TTaggedElement time = TaggedElementAt(list, at + 3);
  std::string d, t;
  if (date.Kind != kElementApplication || date.Tag != kAppTagDate || !TaggedContent(date, d) ||
      time.Kind != kElementApplication || time.Tag != kAppTagTime || !TaggedContent(time, t) ||
      !IsTaggedElement(list, at + 4, kElementClosing, 2) ||
      !IsTaggedElement(list, at + 5, kElementClosing, tag))
    return false;
  stamp = d + t;
  at += 6;
  return true;
}

}  // namespace

std::string EncodeAcknowledgeAlarm(const TAcknowledgeAlarm& r) {
  std::string d = EncodeUnsigned(kTagClassContext, 0, r.ProcessIdentifier);
  d += EncodeObjectIdentifier(kTagClassContext, 1, static_cast<uint32_t>(r.EventObjectType),
                              static_cast<uint32_t>(r.EventInstance));
  d += EncodeEnumerated(kTagClassContext, 2, r.ToState);
  d += DateTime(3, r.TimeStamp);
  d += EncodeCharacterString(kTagClassContext, 4, r.UserName);
  d += DateTime(5, r.AckTimeStamp);
  return d;
}

bool DecodeAcknowledgeAlarm(const Variant& list, TAcknowledgeAlarm& r) {
  r = TAcknowledgeAlarm{};
  int state = 0;
  std::string raw;
  const TTaggedElement process = TaggedElementAt(list, 0);
  if (process.Kind != kElementContext || process.Tag != 0 || !TaggedContent(process, raw) ||
      raw.empty() || raw.size() > 4)
    return false;
  r.ProcessIdentifier = DecodeUnsigned(raw);
  if (!ContextObjectAt(list, 1, 1, r.EventObjectType, r.EventInstance) ||
      !IsTaggedElement(list, 2, kElementContext, 2) || !ContextUnsignedAt(list, 2, state))
    return false;
  int at = 3;
  if (!DecodeDateTime(list, at, 3, r.TimeStamp)) return false;
  const TTaggedElement source = TaggedElementAt(list, at);
  if (source.Kind != kElementContext || source.Tag != 4 || !TaggedContent(source, raw))
    return false;
  ++at;
  if (!DecodeDateTime(list, at, 5, r.AckTimeStamp) || at != TaggedElementCount(list)) return false;
  r.ToState = static_cast<uint32_t>(state);
  r.UserName = DecodeCharacterString(raw);
  return true;
}

}  // namespace zb::bacnet
