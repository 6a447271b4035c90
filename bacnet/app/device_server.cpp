#include "bacnet/app/device_server.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "bacnet/app/application.h"
#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/device.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

namespace {

constexpr int kPropertyIds[] = {kPropAPDUSegmentTimeout,
                                kPropAPDUTimeout,
                                kPropApplicationSoftwareVersion,
                                kPropDescription,
                                kPropDeviceAddressBinding,
                                kPropFirmwareRevision,
                                kPropLocalDate,
                                kPropLocalTime,
                                kPropLocation,
                                kPropMaxAPDULengthAccepted,
                                kPropMaxInfoFrames,
                                kPropMaxMaster,
                                kPropModelName,
                                kPropNumberOfAPDURetries,
                                kPropObjectIdentifier,
                                kPropObjectList,
                                kPropObjectName,
                                kPropObjectType,
                                kPropProtocolConformanceClass,
                                kPropProtocolObjectTypesSupported,
                                kPropProtocolServicesSupported,
                                kPropProtocolVersion,
                                kPropSegmentationSupported,
                                kPropSystemStatus,
                                kPropVendorIdentifier,
                                kPropVendorName,
                                kPropProtocolRevision,
                                kPropDatabaseRevision,
                                kPropMaxSegmentsAccepted,
                                kPropProfileName};
// Required of a device that segments: the table less Description, Local_Date, Local_Time,
// Location, Max_Info_Frames, Max_Master, Protocol_Conformance_Class and Profile_Name.
constexpr int kRequiredIds[] = {kPropAPDUSegmentTimeout,
                                kPropAPDUTimeout,
                                kPropApplicationSoftwareVersion,
                                kPropDeviceAddressBinding,
                                kPropFirmwareRevision,
                                kPropMaxAPDULengthAccepted,
                                kPropModelName,
                                kPropNumberOfAPDURetries,
                                kPropObjectIdentifier,
                                kPropObjectList,
                                kPropObjectName,
                                kPropObjectType,
                                kPropProtocolObjectTypesSupported,
                                kPropProtocolServicesSupported,
                                kPropProtocolVersion,
                                kPropSegmentationSupported,
                                kPropSystemStatus,
                                kPropVendorIdentifier,
                                kPropVendorName,
                                kPropProtocolRevision,
                                kPropDatabaseRevision,
                                kPropMaxSegmentsAccepted};

// An owner whose OnObjectListRead never reports the end must not hang the answer.
constexpr int kMaxObjectListLength = 10000;

// Only the Device object.
const char kObjectTypesSupported[] = "00000000100000000000000";
// ReadProperty, ReadPropertyMultiple, WriteProperty (answered, if only with an error), I-Am,
// UnconfirmedEventNotification and Who-Is: what this device executes.
const char kServicesSupported[] = "0000000000001011000000000010010000100000";

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

bool IsContext(const Variant& list, int at, int tag) {
  if (at < 0 || at >= Count(list)) return false;
  const Item it = ItemAt(list, at);
  return it.kind == kElementContext && it.tag == tag;
}

bool IsBracket(const Variant& list, int at, int kind, int tag) {
  if (at < 0 || at >= Count(list)) return false;
  const Item it = ItemAt(list, at);
  return it.kind == kind && it.tag == tag;
}

bool ContextUnsigned(const Variant& list, int at, int& out) {
  std::string raw;
  if (at < 0 || at >= Count(list) || !ContextContent(ItemAt(list, at), raw)) return false;
  if (raw.empty() || raw.size() > 4) return false;
  out = static_cast<int>(DecodeUnsigned(raw) & 0x7FFFFFFF);
  return true;
}

bool ContextObject(const Variant& list, int at, int& type, int& instance) {
  std::string raw;
  if (!IsContext(list, at, 0) || !ContextContent(ItemAt(list, at), raw) || raw.size() != 4)
    return false;
  int32_t t = 0, i = 0;
  DecodeObjectIdentifier(raw, t, i);
  type = t;
  instance = i;
  return true;
}

// The first context-0 item as a four-octet object identifier.
bool RequestObject(const Variant& list, int& type, int& instance, int& at) {
  at = FindContext(list, 0, 0, Count(list));
  return at >= 0 && ContextObject(list, at, type, instance);
}

// The request's tags, or false when they run past the end.
bool DecodedFully(const TBACnetPDU& request) {
  bool complete = true;
  DecodeTaggedList(request.ServiceData, &complete);
  return complete;
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

void SendError(TBACnetDevice& device, const TBACnetPDU& request, int error_class, int error_code) {
  device.Trace("Error: " + std::to_string(error_class) + "/" + std::to_string(error_code));
  if (device.App) device.App->SendError(request.TransactionHandle, error_class, error_code);
}

void SendReject(TBACnetDevice& device, const TBACnetPDU& request, int reason) {
  device.Trace("Reject: " + std::to_string(reason));
  if (device.App) device.App->SendReject(request.TransactionHandle, reason);
}

std::string Text(const std::string& s) { return EncodeCharacterString(kTagClassApplication, 0, s); }
std::string Unsigned(uint32_t v) { return EncodeUnsigned(kTagClassApplication, 0, v); }

// The application-tagged value of a property of the table other than Object_List.
bool PropertyValue(TBACnetDevice& d, int id, std::string& v) {
  const int c = kTagClassApplication;
  switch (id) {
    case kPropAPDUSegmentTimeout:
      v = Unsigned(d.APDUSegmentTimeout());
      break;
    case kPropAPDUTimeout:
      v = Unsigned(d.APDUTimeout());
      break;
    case kPropApplicationSoftwareVersion:
      v = Text(d.ApplicationSoftwareVersion);
      break;
    case kPropDescription:
      v = Text(d.Description);
      break;
    case kPropDeviceAddressBinding:
      v.clear();
      break;  // a list of bindings; this device keeps none for others
    case kPropFirmwareRevision:
      v = Text(d.FirmwareRevision);
      break;
    case kPropLocalDate:
      v = EncodeDate(c, 0, DateToBACnetDate(LocalNow()));
      break;
    case kPropLocalTime:
      v = EncodeTime(c, 0, TimeToBACnetTime(LocalNow()));
      break;
    case kPropLocation:
      v = Text(d.Location);
      break;
    case kPropMaxAPDULengthAccepted:
      v = Unsigned(d.App ? static_cast<uint32_t>(d.App->MaxAPDULength()) : 0);
      break;
    case kPropMaxInfoFrames:
      v = Unsigned(d.MaxInfoFrames());
      break;
    case kPropMaxMaster:
      v = Unsigned(d.MaxMaster());
      break;
    case kPropModelName:
      v = Text(d.ModelName);
      break;
    case kPropNumberOfAPDURetries:
      v = Unsigned(static_cast<uint32_t>(d.NumberOfAPDURetries));
      break;
    case kPropObjectIdentifier:
      v = EncodeObjectIdentifier(c, 0, kObjectDevice, d.ObjectIdentifier());
      break;
    case kPropObjectName:
      v = Text(d.ObjectName);
      break;
    case kPropObjectType:
      v = EncodeEnumerated(c, 0, kObjectDevice);
      break;
    case kPropProtocolConformanceClass:
      v = Unsigned(2);
      break;
    case kPropProtocolObjectTypesSupported:
      v = EncodeBitString(c, 0, kObjectTypesSupported);
      break;
    case kPropProtocolServicesSupported:
      v = EncodeBitString(c, 0, kServicesSupported);
      break;
    case kPropProtocolVersion:
      v = Unsigned(1);
      break;
    case kPropSegmentationSupported:
      v = EncodeEnumerated(c, 0, 0);
      break;
    case kPropSystemStatus:
      v = EncodeEnumerated(c, 0, static_cast<uint32_t>(d.SystemStatus));
      break;
    case kPropVendorIdentifier:
      v = Unsigned(d.VendorIdentifier());
      break;
    case kPropVendorName:
      v = Text(d.VendorName);
      break;
    case kPropProtocolRevision:
      v = Unsigned(1);
      break;
    case kPropDatabaseRevision:
      v = Unsigned(1);
      break;
    case kPropMaxSegmentsAccepted:
      v = Unsigned(127);
      break;
    case kPropProfileName:
      v = Text(std::to_string(d.VendorIdentifier()) + "-" + d.ProfileName);
      break;
    default:
      return false;
  }
  return true;
}

// What one property reference reads: the value octets, or an error class and code.
struct Reading {
  bool ok = false;
  std::string value;
  int error_class = 0;
  int error_code = 0;
};

Reading Failed(int error_class, int error_code) {
  Reading r;
  r.error_class = error_class;
  r.error_code = error_code;
  return r;
}

Reading Value(std::string v) {
  Reading r;
  r.ok = true;
  r.value = std::move(v);
  return r;
}

// Object_List: the Device object itself first, then what the owner reports.
Reading ObjectList(TBACnetDevice& d, int index) {
  const std::string self =
      EncodeObjectIdentifier(kTagClassApplication, 0, kObjectDevice, d.ObjectIdentifier());
  int ot = 0, oi = 0;
  auto ask = [&](int i) {
    ot = 0;
    oi = 0;
    if (d.OnObjectListRead) d.OnObjectListRead(&d, i, ot, oi);
  };
  auto pair = [&] { return "ot=" + std::to_string(ot) + " oi=" + std::to_string(oi); };
  auto objectId = [&] {
    return EncodeObjectIdentifier(kTagClassApplication, 0, static_cast<uint32_t>(ot),
                                  static_cast<uint32_t>(oi));
  };
  if (!d.OnObjectListRead) d.Trace("NoEvent");
  if (index < 0) {
    std::string list = self;
    for (int i = 1; d.OnObjectListRead && i <= kMaxObjectListLength; ++i) {
      ask(i);
      d.Trace("Multi..." + pair());
      if (ot + oi == 0) break;
      list += objectId();
    }
    return Value(list);
  }
  if (index == 0) {
    ask(0);
    if (d.OnObjectListRead) d.Trace("GetCount..." + pair());
    const int owned = std::clamp(oi, 0, kMaxObjectListLength);
    return Value(Unsigned(static_cast<uint32_t>(owned) + 1));
  }
  if (index == 1) return Value(self);
  if (!d.OnObjectListRead || index - 1 > kMaxObjectListLength)
    return Failed(kErrorClassProperty, kErrorCodeInvalidArrayIndex);
  ask(index - 1);
  d.Trace("ReadElement " + std::to_string(index - 1) + "..." + pair());
  if (ot + oi == 0) return Failed(kErrorClassProperty, kErrorCodeInvalidArrayIndex);
  return Value(objectId());
}

Reading ReadOne(TBACnetDevice& d, int id, int index) {
  if (id == kPropObjectList) return ObjectList(d, index);
  std::string v;
  if (!PropertyValue(d, id, v)) return Failed(kErrorClassProperty, kErrorCodeUnknownProperty);
  if (index >= 0) return Failed(kErrorClassProperty, kErrorCodePropertyIsNotAnArray);
  return Value(v);
}

bool IsOurDevice(TBACnetDevice& d, int type, int instance) {
  return type == kObjectDevice &&
         (instance == d.ObjectIdentifier() || instance == kWildcardDeviceInstance);
}

// The properties ALL, REQUIRED or OPTIONAL stand for; any other identifier stands for itself.
std::vector<int> Expand(int id) {
  if (id == kPropAll) return {std::begin(kPropertyIds), std::end(kPropertyIds)};
  if (id == kPropRequired) return {std::begin(kRequiredIds), std::end(kRequiredIds)};
  if (id == kPropOptional) {
    std::vector<int> ids;
    for (int p : kPropertyIds)
      if (std::find(std::begin(kRequiredIds), std::end(kRequiredIds), p) == std::end(kRequiredIds))
        ids.push_back(p);
    return ids;
  }
  return {id};
}

// One read-access result entry: [2] property, [3] index, then [4] value or [5] error.
std::string ResultEntry(int id, int index, const Reading& r) {
  std::string out = EncodeUnsigned(kTagClassContext, 2, static_cast<uint32_t>(id));
  if (index >= 0) out += EncodeUnsigned(kTagClassContext, 3, static_cast<uint32_t>(index));
  if (r.ok) return out + EncodeOpeningTag(4) + r.value + EncodeClosingTag(4);
  return out + EncodeOpeningTag(5) +
         EncodeEnumerated(kTagClassApplication, 0, static_cast<uint32_t>(r.error_class)) +
         EncodeEnumerated(kTagClassApplication, 0, static_cast<uint32_t>(r.error_code)) +
         EncodeClosingTag(5);
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
  for (int id : Expand(propertyId)) {
    const int index = id == propertyId ? arrayIndex : -1;
    const Reading r = ReadOne(device, id, index);
    if (!r.ok) continue;
    result += EncodeUnsigned(kTagClassContext, propTag, static_cast<uint32_t>(id));
    if (index >= 0)
      result += EncodeUnsigned(kTagClassContext, indexTag, static_cast<uint32_t>(index));
    result += EncodeOpeningTag(openTag) + r.value + EncodeClosingTag(openTag);
  }
  device.Trace("ReadOne: " + TBACnetDevice::HexDump(result));
  return result;
}

std::string AnswerReadProperty(TBACnetDevice& device, const TBACnetPDU& request) {
  device.Trace("READ");
  const Variant& list = request.Values;
  const int n = Count(list);
  int type = 0, instance = 0, property = 0, index = -1;
  if (!DecodedFully(request)) {
    SendReject(device, request, kRejectInvalidTag);
    return {};
  }
  if (!ContextObject(list, 0, type, instance) || !IsContext(list, 1, 1) ||
      !ContextUnsigned(list, 1, property)) {
    SendReject(device, request, n < 2 ? kRejectMissingRequiredParameter : kRejectInvalidTag);
    return {};
  }
  if (n > 2 && !(IsContext(list, 2, 2) && ContextUnsigned(list, 2, index))) {
    SendReject(device, request, kRejectInvalidTag);
    return {};
  }
  if (n > 3) {
    SendReject(device, request, kRejectTooManyArguments);
    return {};
  }
  if (!IsOurDevice(device, type, instance)) {
    SendError(device, request, kErrorClassObject, kErrorCodeUnknownObject);
    return {};
  }
  if (property == kPropAll || property == kPropRequired || property == kPropOptional) {
    // These stand for several properties: only ReadPropertyMultiple can carry them.
    SendError(device, request, kErrorClassProperty, kErrorCodeReadAccessDenied);
    return {};
  }
  const Reading r = ReadOne(device, property, index);
  if (!r.ok) {
    SendError(device, request, r.error_class, r.error_code);
    return {};
  }
  std::string body = EncodeUnsigned(kTagClassContext, 1, static_cast<uint32_t>(property));
  if (index >= 0) body += EncodeUnsigned(kTagClassContext, 2, static_cast<uint32_t>(index));
  body += EncodeOpeningTag(3) + r.value + EncodeClosingTag(3);
  device.Trace("ReadOne: " + TBACnetDevice::HexDump(body));
  // The wildcard instance is answered with the instance it stands for.
  const std::string answer =
      EncodeObjectIdentifier(kTagClassContext, 0, kObjectDevice, device.ObjectIdentifier()) + body;
  SendAnswer(device, request, answer);
  return answer;
}

std::string AnswerReadPropertyMultiple(TBACnetDevice& device, const TBACnetPDU& request) {
  const Variant& list = request.Values;
  const int n = Count(list);
  if (!DecodedFully(request)) {
    SendReject(device, request, kRejectInvalidTag);
    return {};
  }
  if (n == 0) {
    SendReject(device, request, kRejectMissingRequiredParameter);
    return {};
  }
  std::string answer;
  int i = 0;
  // Every read-access specification: [0] object, [1] { [0] property, [1] index ... } [1].
  while (i < n) {
    int type = 0, instance = 0;
    if (!ContextObject(list, i, type, instance) || !IsBracket(list, i + 1, kElementOpening, 1)) {
      SendReject(device, request, kRejectInvalidTag);
      return {};
    }
    i += 2;
    const bool ours = IsOurDevice(device, type, instance);
    answer +=
        EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(type),
                               static_cast<uint32_t>(ours ? device.ObjectIdentifier() : instance)) +
        EncodeOpeningTag(1);
    int references = 0;
    while (i < n && !IsBracket(list, i, kElementClosing, 1)) {
      int property = 0, index = -1;
      if (!IsContext(list, i, 0) || !ContextUnsigned(list, i, property)) {
        SendReject(device, request, kRejectInvalidTag);
        return {};
      }
      ++i;
      if (IsContext(list, i, 1)) {
        if (!ContextUnsigned(list, i, index)) {
          SendReject(device, request, kRejectInvalidTag);
          return {};
        }
        ++i;
      }
      ++references;
      if (!ours) {
        answer += ResultEntry(property, index, Failed(kErrorClassObject, kErrorCodeUnknownObject));
        continue;
      }
      const std::vector<int> ids = Expand(property);
      if (ids.size() == 1 && ids[0] == property) {
        answer += ResultEntry(property, index, ReadOne(device, property, index));
        continue;
      }
      // A group: each property it stands for, without the index.
      for (int id : ids) answer += ResultEntry(id, -1, ReadOne(device, id, -1));
      // A few octets of request can ask for the table many times over: past what can be sent,
      // building on only costs time and memory (the too long answer is aborted).
      if (device.App && answer.size() > device.App->MaxServerRequestLength()) {
        SendAnswer(device, request, answer);
        return {};
      }
    }
    if (i >= n || references == 0) {
      SendReject(device, request, i >= n ? kRejectInvalidTag : kRejectMissingRequiredParameter);
      return {};
    }
    ++i;  // the closing tag
    answer += EncodeClosingTag(1);
  }
  device.Trace("ReadMultiple: " + TBACnetDevice::HexDump(answer));
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
  const Variant& list = request.Values;
  int type = 0, instance = 0, at = 0, property = 0, index = -1;
  if (!DecodedFully(request) || !list.IsArray() || !RequestObject(list, type, instance, at) ||
      !ContextUnsigned(list, FindContext(list, 1, 0, Count(list)), property)) {
    SendReject(device, request,
               DecodedFully(request) ? kRejectMissingRequiredParameter : kRejectInvalidTag);
    return;
  }
  if (!device.OnPropertyWrite) {
    // Nothing here is writable; saying otherwise would report a change that never happens.
    if (IsOurDevice(device, type, instance))
      SendError(device, request, kErrorClassProperty, kErrorCodeWriteAccessDenied);
    else
      SendError(device, request, kErrorClassObject, kErrorCodeUnknownObject);
    return;
  }
  try {
    // Only an index before the value counts; a context 2 inside the value is not one.
    int open = 0;
    while (open < Count(list) && ItemAt(list, open).kind != kElementOpening) ++open;
    if (!ContextUnsigned(list, FindContext(list, 2, 0, open), index)) index = -1;
    device.OnPropertyWrite(&device, type, instance, property, index, WrittenValue(list), 0);
  } catch (...) {
  }
  device.Trace(TBACnetDevice::OutgoingTraceLine(request, std::string()));
  if (device.App) device.App->SendSimpleAck(request.TransactionHandle);
}

bool WhoIsIncludes(const Variant& values, int instance) {
  const int n = Count(values);
  if (n == 0) return true;
  int low = 0, high = 0;
  if (n != 2 || !IsContext(values, 0, 0) || !IsContext(values, 1, 1) ||
      !ContextUnsigned(values, 0, low) || !ContextUnsigned(values, 1, high))
    return false;
  return low <= instance && instance <= high;
}

void AnswerUnrecognizedService(TBACnetDevice& device, const TBACnetPDU& request) {
  SendReject(device, request, kRejectUnrecognizedService);
}

}  // namespace zb::bacnet
