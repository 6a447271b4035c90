#include "bacnet/app/device_server.h"

#include <iterator>

#include "bacnet/app/application.h"
#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/device.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

namespace {

constexpr int kPropertyIds[] = {10, 11, 12, 28, 30, 44, 56, 57,  58,  62,  63,  64,  70,  73,  75,
                                76, 77, 79, 95, 96, 97, 98, 107, 112, 120, 121, 139, 155, 167, 168};

constexpr int kObjectList = 76;
// An owner whose OnObjectListRead never reports the end must not hang the answer.
constexpr int kMaxObjectListLength = 10000;

const char kObjectTypesSupported[] = "00001000100001100000000";
const char kServicesSupported[] = "0000000000001001000000000010000000100000";

// ---- the decoded request items ------------------------------------------------------------

struct Item {
  int kind = 0;
  int tag = -1;
  const Variant* value = nullptr;  // item 2, when present
};

Item ItemAt(const Variant& list, int i) {
  Item it;
  const Variant& e = list[list.LowBound() + i];
  if (!e.IsArray() || e.Count() < 2) return it;
  const int low = e.LowBound();
  int32_t kind = 0, tag = 0;
  if (!e[low].TryToInt(kind) || !e[low + 1].TryToInt(tag)) return it;
  it.kind = kind;
  it.tag = tag;
  if (e.Count() >= 3) it.value = &e[low + 2];
  return it;
}

// The raw content of a context item, or false.
bool ContextContent(const Item& it, std::string& out) {
  if (it.kind != kElementContext || !it.value) return false;
  if (it.value->IsText() || it.value->IsOctets()) {
    out = it.value->AsTextRaw();
    return true;
  }
  return it.value->TryToText(out);
}

// Index of the first context item with that tag at or after `from` and before `to`; -1.
int FindContext(const Variant& list, int tag, int from, int to) {
  for (int i = from; i < to; ++i) {
    Item it = ItemAt(list, i);
    if (it.kind == kElementContext && it.tag == tag) return i;
  }
  return -1;
}

int Count(const Variant& list) { return list.IsArray() ? list.Count() : 0; }

// The first context-0 item as a four-octet object identifier.
bool RequestObject(const Variant& list, int& type, int& instance, int& at) {
  at = FindContext(list, 0, 0, Count(list));
  if (at < 0) return false;
  std::string raw;
  if (!ContextContent(ItemAt(list, at), raw) || raw.size() != 4) return false;
  int32_t t = 0, i = 0;
  DecodeObjectIdentifier(raw, t, i);
  type = t;
  instance = i;
  return true;
}

bool ContextUnsigned(const Variant& list, int at, int& out) {
  std::string raw;
  if (at < 0 || !ContextContent(ItemAt(list, at), raw)) return false;
  out = static_cast<int>(DecodeUnsigned(raw));
  return true;
}

// ---- answering ----------------------------------------------------------------------------

void SendAnswer(TBACnetDevice& device, const TBACnetPDU& request, const std::string& data) {
  TBACnetPDU answer;
  CopyPDU(request, answer);
  answer.Values = Variant("");
  answer.ServiceData = data;
  SwapAddressInfo(answer);
  device.Trace(TBACnetDevice::OutgoingTraceLine(request, data));
  if (device.App) device.App->SendComplexAck(request.TransactionHandle, answer);
}

std::string Text(const std::string& s) { return EncodeCharacterString(kTagClassApplication, 0, s); }
std::string Unsigned(uint32_t v) { return EncodeUnsigned(kTagClassApplication, 0, v); }

// The application-tagged value of a property of the table other than Object_List.
bool PropertyValue(TBACnetDevice& d, int id, std::string& v) {
  const int c = kTagClassApplication;
  switch (id) {
    case 10:
      v = Unsigned(d.APDUSegmentTimeout());
      break;
    case 11:
      v = Unsigned(d.APDUTimeout());
      break;
    case 12:
      v = Text(d.ApplicationSoftwareVersion);
      break;
    case 28:
      v = Text(d.Description);
      break;
    case 30:
      v = EncodeNull(c, 0);
      break;
    case 44:
      v = Text(d.FirmwareRevision);
      break;
    case 56:
      v = EncodeDate(c, 0, DateToBACnetDate(LocalNow()));
      break;
    case 57:
      v = EncodeTime(c, 0, TimeToBACnetTime(LocalNow()));
      break;
    case 58:
      v = Text(d.Location);
      break;
    case 62:
      v = Unsigned(d.App ? static_cast<uint32_t>(d.App->MaxAPDULength()) : 0);
      break;
    case 63:
      v = Unsigned(d.MaxInfoFrames());
      break;
    case 64:
      v = Unsigned(d.MaxMaster());
      break;
    case 70:
      v = Text(d.ModelName);
      break;
    case 73:
      v = Unsigned(static_cast<uint32_t>(d.NumberOfAPDURetries));
      break;
    case 75:
      v = EncodeObjectIdentifier(c, 0, 8, d.ObjectIdentifier());
      break;
    case 77:
      v = Text(d.ObjectName);
      break;
    case 79:
      v = Unsigned(8);
      break;
    case 95:
      v = Unsigned(2);
      break;
    case 96:
      v = EncodeBitString(c, 0, kObjectTypesSupported);
      break;
    case 97:
      v = EncodeBitString(c, 0, kServicesSupported);
      break;
    case 98:
      v = Unsigned(1);
      break;
    case 107:
      v = EncodeEnumerated(c, 0, 0);
      break;
    case 112:
      v = EncodeEnumerated(c, 0, static_cast<uint32_t>(d.SystemStatus));
      break;
    case 120:
      v = Unsigned(d.VendorIdentifier());
      break;
    case 121:
      v = Text(d.VendorName);
      break;
    case 139:
      v = Unsigned(1);
      break;
    case 155:
      v = Unsigned(1);
      break;
    case 167:
      v = Unsigned(127);
      break;
    case 168:
      v = Text(std::to_string(d.VendorIdentifier()) + "-" + d.ProfileName);
      break;
    default:
      return false;
  }
  return true;
}

std::string ObjectList(TBACnetDevice& d, int index, int propTag, int indexTag, int openTag) {
  const std::string head = EncodeUnsigned(kTagClassContext, propTag, kObjectList);
  if (!d.OnObjectListRead) {
    d.Trace("NoEvent");
    return head + EncodeOpeningTag(openTag) + Unsigned(0) + EncodeClosingTag(openTag);
  }
  int ot = 0, oi = 0;
  auto ask = [&](int i) {
    ot = 0;
    oi = 0;
    d.OnObjectListRead(&d, i, ot, oi);
  };
  auto pair = [&] { return "ot=" + std::to_string(ot) + " oi=" + std::to_string(oi); };
  auto objectId = [&] {
    return EncodeObjectIdentifier(kTagClassApplication, 0, static_cast<uint32_t>(ot),
                                  static_cast<uint32_t>(oi));
  };
  if (index < 0) {
    std::string list;
    for (int i = 1; i <= kMaxObjectListLength; ++i) {
      ask(i);
      d.Trace("Multi..." + pair());
      if (ot + oi == 0) break;
      list += objectId();
    }
    return head + EncodeOpeningTag(openTag) + list + EncodeClosingTag(openTag);
  }
  ask(index);
  std::string value;
  if (index == 0) {
    d.Trace("GetCount..." + pair());
    value = Unsigned(static_cast<uint32_t>(oi));
  } else {
    d.Trace("ReadElement " + std::to_string(index) + "..." + pair());
    value = objectId();
  }
  return head + EncodeUnsigned(kTagClassContext, indexTag, static_cast<uint32_t>(index)) +
         EncodeOpeningTag(openTag) + value + EncodeClosingTag(openTag);
}

}  // namespace

const int* DevicePropertyIds(int& count) {
  count = static_cast<int>(std::size(kPropertyIds));
  return kPropertyIds;
}

std::string ReadDeviceProperty(TBACnetDevice& device, int propertyId, int arrayIndex, int layout) {
  const bool multiple = layout == kReadPropertyMultipleLayout;
  const int propTag = multiple ? 2 : 1;
  const int openTag = multiple ? 4 : 3;
  // The array index of a read-access result is context tag 3 (tag 2 there is the next
  // property identifier).
  const int indexTag = multiple ? 3 : 2;
  std::string result;
  if (propertyId == 8) {
    for (int id : kPropertyIds) result += ReadDeviceProperty(device, id, -1, layout);
  } else if (propertyId == kObjectList) {
    result = ObjectList(device, arrayIndex, propTag, indexTag, openTag);
  } else {
    std::string value;
    if (PropertyValue(device, propertyId, value))
      result = EncodeUnsigned(kTagClassContext, propTag, static_cast<uint32_t>(propertyId)) +
               EncodeOpeningTag(openTag) + value + EncodeClosingTag(openTag);
  }
  device.Trace("ReadOne: " + TBACnetDevice::HexDump(result));
  return result;
}

std::string AnswerReadProperty(TBACnetDevice& device, const TBACnetPDU& request) {
  device.Trace("READ");
  std::string answer;
  const Variant& list = request.Values;
  int type = 0, instance = 0, at = 0;
  if (list.IsArray() && RequestObject(list, type, instance, at)) {
    answer = EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(type),
                                    static_cast<uint32_t>(instance));
    int property = -1, index = -1;
    if (type == 8 && ContextUnsigned(list, FindContext(list, 1, 0, Count(list)), property)) {
      if (!ContextUnsigned(list, FindContext(list, 2, 0, Count(list)), index)) index = -1;
      answer += ReadDeviceProperty(device, property, index, kReadPropertyLayout);
    }
  }
  SendAnswer(device, request, answer);
  return answer;
}

std::string AnswerReadPropertyMultiple(TBACnetDevice& device, const TBACnetPDU& request) {
  std::string answer;
  const Variant& list = request.Values;
  int type = 0, instance = 0, at = 0;
  if (list.IsArray() && RequestObject(list, type, instance, at)) {
    answer = EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(type),
                                    static_cast<uint32_t>(instance)) +
             EncodeOpeningTag(1);
    // The first read-access specification's references: each context-0 property identifier,
    // with the context-1 array index that may follow it. Only the first specification is
    // answered.
    const int n = Count(list);
    int i = at + 1;
    while (i < n && !(ItemAt(list, i).kind == kElementOpening && ItemAt(list, i).tag == 1)) ++i;
    for (++i; i < n; ++i) {
      const Item it = ItemAt(list, i);
      if (it.kind == kElementClosing && it.tag == 1) break;
      int property = 0;
      if (it.kind != kElementContext || it.tag != 0 || !ContextUnsigned(list, i, property))
        continue;
      int index = -1;
      if (i + 1 < n) {
        const Item next = ItemAt(list, i + 1);
        if (next.kind == kElementContext && next.tag == 1 && ContextUnsigned(list, i + 1, index))
          ++i;
        else
          index = -1;
      }
      if (type == 8)
        answer += ReadDeviceProperty(device, property, index, kReadPropertyMultipleLayout);
      // Two octets of request can ask for the whole table: past what can be sent, building on
      // only costs time and memory (the too long answer is aborted).
      if (device.App && answer.size() > device.App->MaxServerRequestLength()) break;
    }
    answer += EncodeClosingTag(1);
    device.Trace("ReadMultiple: " + TBACnetDevice::HexDump(answer));
  }
  SendAnswer(device, request, answer);
  return answer;
}

namespace {

// The value inside the request's tag 3: one element's value (an object identifier as
// [type, instance], a context element as its raw octets), or the list of elements when the
// value is constructed.
Variant WrittenValue(const Variant& list) {
  const int n = Count(list);
  int open = -1;
  for (int i = 0; i < n; ++i) {
    const Item it = ItemAt(list, i);
    if (it.kind == kElementOpening && it.tag == 3) {
      open = i;
      break;
    }
  }
  if (open < 0) return Variant();
  std::vector<Variant> inner;
  int depth = 0;
  for (int i = open + 1; i < n; ++i) {
    const Item it = ItemAt(list, i);
    if (it.kind == kElementOpening) ++depth;
    if (it.kind == kElementClosing) {
      if (depth == 0) break;
      --depth;
    }
    inner.push_back(list[list.LowBound() + i]);
  }
  if (inner.size() != 1) return Variant::MakeList(std::move(inner));
  const Variant& e = inner[0];
  if (!e.IsArray() || e.Count() < 3) return e;
  const int low = e.LowBound();
  int32_t kind = 0, tag = 0;
  e[low].TryToInt(kind);
  e[low + 1].TryToInt(tag);
  if (kind == kElementApplication && tag == kAppTagObjectIdentifier && e.Count() >= 4)
    return Variant::MakeList({e[low + 2], e[low + 3]});
  return e[low + 2];
}

}  // namespace

void AnswerWriteProperty(TBACnetDevice& device, const TBACnetPDU& request) {
  device.Trace("Write Property");
  try {
    const Variant& list = request.Values;
    int type = 0, instance = 0, at = 0, property = 0, index = -1;
    if (list.IsArray() && RequestObject(list, type, instance, at) &&
        ContextUnsigned(list, FindContext(list, 1, 0, Count(list)), property)) {
      // Only an index before the value counts; a context 2 inside the value is not one.
      int open = 0;
      while (open < Count(list) && ItemAt(list, open).kind != kElementOpening) ++open;
      if (!ContextUnsigned(list, FindContext(list, 2, 0, open), index)) index = -1;
      if (device.OnPropertyWrite)
        device.OnPropertyWrite(&device, type, instance, property, index, WrittenValue(list), 0);
    }
  } catch (...) {
  }
  device.Trace(TBACnetDevice::OutgoingTraceLine(request, std::string()));
  if (device.App) device.App->SendSimpleAck(request.TransactionHandle);
}

}  // namespace zb::bacnet
