#include "bacnet/app/event_notification.h"

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

namespace {

// The content of the first element of that kind and tag under the path; false when absent.
bool Find(const Variant& list, int kind, int tag, std::string_view path, std::string& out) {
  int index = 0;
  out = FindTaggedValue(list, kind, tag, path, index);
  return index >= 0;
}

std::string Path(std::initializer_list<int> tags) {
  std::string p;
  for (int t : tags) p += static_cast<char>(t);
  return p;
}

}  // namespace

TEventNotification DecodeEventNotification(const Variant& values) {
  TEventNotification n;
  if (!values.IsArray()) return n;
  try {
    std::string raw;
    if (Find(values, kElementContext, 0, "", raw)) n.ProcessIdentifier = DecodeUnsigned(raw);
    if (Find(values, kElementContext, 1, "", raw))
      DecodeObjectIdentifier(raw, n.InitiatingObjectType, n.InitiatingInstance);
    if (Find(values, kElementContext, 2, "", raw))
      DecodeObjectIdentifier(raw, n.EventObjectType, n.EventInstance);
    // Only the date-time form of the time stamp counts.
    const std::string stamp = Path({3, 2});
    if (Find(values, kElementApplication, kAppTagDate, stamp, raw)) n.TimeStampDate = raw;
    if (Find(values, kElementApplication, kAppTagTime, stamp, raw)) n.TimeStampTime = raw;
    if (!n.TimeStampDate.empty() || !n.TimeStampTime.empty())
      n.TimeStamp = BACnetDateToDate(n.TimeStampDate) + BACnetTimeToTime(n.TimeStampTime);
    if (Find(values, kElementContext, 6, "", raw)) n.EventType = DecodeUnsigned(raw);
    if (Find(values, kElementContext, 7, "", raw)) n.MessageText = DecodeCharacterString(raw);
    if (Find(values, kElementContext, 8, "", raw)) n.NotifyType = DecodeUnsigned(raw);
    if (Find(values, kElementContext, 9, "", raw)) n.AckRequired = DecodeBoolean(raw);
    if (Find(values, kElementContext, 11, "", raw)) n.ToState = DecodeUnsigned(raw);
    if ((n.HasBitStringValue = Find(values, kElementContext, 0, Path({12, 0}), raw)))
      n.BitStringValue = DecodeBitString(raw);
    if ((n.HasChangedBits = Find(values, kElementContext, 0, Path({12, 2, 0}), raw)))
      n.ChangedBits = DecodeBitString(raw);
    if ((n.HasChangedValue = Find(values, kElementContext, 1, Path({12, 2, 0}), raw)))
      n.ChangedValue = DecodeReal(raw);
    if ((n.HasReferenceValue = Find(values, kElementContext, 0, Path({12, 4}), raw)))
      n.ReferenceValue = DecodeReal(raw);
    if ((n.HasExceedingValue = Find(values, kElementContext, 0, Path({12, 5}), raw)))
      n.ExceedingValue = DecodeReal(raw);
  } catch (...) {
  }
  return n;
}

}  // namespace zb::bacnet
