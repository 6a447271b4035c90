#include "bacnet/app/device_server.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/read_property.h"
#include "bacnet/app/read_property_multiple.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "bacnet/app/trace_lines.h"

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

// The request's tags, or false when they run past the end.
bool DecodedFully(const TBACnetPDU& request) {
  bool complete = true;
  DecodeTaggedList(request.ServiceData, &complete);
  return complete;
}

TServerAnswer Reject(int reason) {
  TServerAnswer a;
  a.PDUType = kPDUReject;
  a.ErrorCode = reason;
  return a;
}

TServerAnswer Error(int error_class, int error_code) {
  TServerAnswer a;
  a.PDUType = kPDUError;
  a.ErrorClass = error_class;
  a.ErrorCode = error_code;
  return a;
}

TServerAnswer ComplexAck(std::string data) {
  TServerAnswer a;
  a.PDUType = kPDUComplexAck;
  a.Data = std::move(data);
  return a;
}

void Trace(const TServedDevice& d, const std::string& text) {
  if (d.Trace) d.Trace(text);
}

std::string Text(std::string_view s) { return EncodeCharacterString(kTagClassApplication, 0, s); }
std::string Unsigned(uint32_t v) { return EncodeUnsigned(kTagClassApplication, 0, v); }

// The application-tagged value of a property of the table other than Object_List.
bool PropertyValue(const TServedDevice& d, int id, std::string& v) {
  const int c = kTagClassApplication;
  switch (id) {
    case kPropAPDUSegmentTimeout:
      v = Unsigned(d.APDUSegmentTimeout);
      break;
    case kPropAPDUTimeout:
      v = Unsigned(d.APDUTimeout);
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
      v = EncodeDate(c, 0, DateToBACnetDate(d.Now));
      break;
    case kPropLocalTime:
      v = EncodeTime(c, 0, TimeToBACnetTime(d.Now));
      break;
    case kPropLocation:
      v = Text(d.Location);
      break;
    case kPropMaxAPDULengthAccepted:
      v = Unsigned(d.MaxAPDULength);
      break;
    case kPropMaxInfoFrames:
      v = Unsigned(d.MaxInfoFrames);
      break;
    case kPropMaxMaster:
      v = Unsigned(d.MaxMaster);
      break;
    case kPropModelName:
      v = Text(d.ModelName);
      break;
    case kPropNumberOfAPDURetries:
      v = Unsigned(static_cast<uint32_t>(d.NumberOfAPDURetries));
      break;
    case kPropObjectIdentifier:
      v = EncodeObjectIdentifier(c, 0, kObjectDevice, d.Instance);
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
      v = Unsigned(d.VendorIdentifier);
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
      v = Text(std::to_string(d.VendorIdentifier) + "-" + std::string(d.ProfileName));
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
Reading ObjectList(const TServedDevice& d, int index) {
  const std::string self =
      EncodeObjectIdentifier(kTagClassApplication, 0, kObjectDevice, d.Instance);
  int ot = 0, oi = 0;
  auto ask = [&](int i) {
    ot = 0;
    oi = 0;
    if (d.ObjectListRead) d.ObjectListRead(i, ot, oi);
  };
  auto pair = [&] { return "ot=" + std::to_string(ot) + " oi=" + std::to_string(oi); };
  auto objectId = [&] {
    return EncodeObjectIdentifier(kTagClassApplication, 0, static_cast<uint32_t>(ot),
                                  static_cast<uint32_t>(oi));
  };
  if (!d.ObjectListRead) Trace(d, "NoEvent");
  if (index < 0) {
    std::string list = self;
    for (int i = 1; d.ObjectListRead && i <= kMaxObjectListLength; ++i) {
      ask(i);
      Trace(d, "Multi..." + pair());
      if (ot + oi == 0) break;
      list += objectId();
    }
    return Value(list);
  }
  if (index == 0) {
    ask(0);
    if (d.ObjectListRead) Trace(d, "GetCount..." + pair());
    const int owned = std::clamp(oi, 0, kMaxObjectListLength);
    return Value(Unsigned(static_cast<uint32_t>(owned) + 1));
  }
  if (index == 1) return Value(self);
  if (!d.ObjectListRead || index - 1 > kMaxObjectListLength)
    return Failed(kErrorClassProperty, kErrorCodeInvalidArrayIndex);
  ask(index - 1);
  Trace(d, "ReadElement " + std::to_string(index - 1) + "..." + pair());
  if (ot + oi == 0) return Failed(kErrorClassProperty, kErrorCodeInvalidArrayIndex);
  return Value(objectId());
}

Reading ReadOne(const TServedDevice& d, int id, int index) {
  if (id == kPropObjectList) return ObjectList(d, index);
  std::string v;
  if (!PropertyValue(d, id, v)) return Failed(kErrorClassProperty, kErrorCodeUnknownProperty);
  if (index >= 0) return Failed(kErrorClassProperty, kErrorCodePropertyIsNotAnArray);
  return Value(v);
}

bool IsOurDevice(const TServedDevice& d, int type, int instance) {
  return type == kObjectDevice && (instance == d.Instance || instance == kWildcardDeviceInstance);
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
  if (r.ok) return EncodeReadResultValue(id, index, r.value);
  return EncodeReadResultError(id, index, r.error_class, r.error_code);
}

}  // namespace

const int* DevicePropertyIds(int& count) {
  count = static_cast<int>(std::size(kPropertyIds));
  return kPropertyIds;
}

std::string ReadDeviceProperty(const TServedDevice& device, int propertyId, int arrayIndex,
                               int layout) {
  const bool multiple = layout == kReadPropertyMultipleLayout;
  std::string result;
  for (int id : Expand(propertyId)) {
    const int index = id == propertyId ? arrayIndex : -1;
    const Reading r = ReadOne(device, id, index);
    if (!r.ok) continue;
    result += multiple ? EncodeReadResultValue(id, index, r.value)
                       : EncodeReadPropertyResult(id, index, r.value);
  }
  Trace(device, "ReadOne: " + TraceHex(result));
  return result;
}

TServerAnswer AnswerReadProperty(const TServedDevice& device, const TBACnetPDU& request) {
  Trace(device, "READ");
  if (!DecodedFully(request)) return Reject(kRejectInvalidTag);
  TReadProperty r;
  if (const int reason = DecodeReadProperty(request.Values, r); reason != kRejectNone)
    return Reject(reason);
  if (!IsOurDevice(device, r.ObjectType, r.Instance))
    return Error(kErrorClassObject, kErrorCodeUnknownObject);
  if (r.Property == kPropAll || r.Property == kPropRequired || r.Property == kPropOptional) {
    // These stand for several properties: only ReadPropertyMultiple can carry them.
    return Error(kErrorClassProperty, kErrorCodeReadAccessDenied);
  }
  const Reading reading = ReadOne(device, r.Property, r.ArrayIndex);
  if (!reading.ok) return Error(reading.error_class, reading.error_code);
  const std::string body = EncodeReadPropertyResult(r.Property, r.ArrayIndex, reading.value);
  Trace(device, "ReadOne: " + TraceHex(body));
  // The wildcard instance is answered with the instance it stands for.
  r.Instance = device.Instance;
  return ComplexAck(EncodeReadPropertyAck(r, reading.value));
}

TServerAnswer AnswerReadPropertyMultiple(const TServedDevice& device, const TBACnetPDU& request) {
  if (!DecodedFully(request)) return Reject(kRejectInvalidTag);
  std::vector<TReadAccessSpec> specs;
  // A malformed request is still answered as far as it goes before it is refused: a group read
  // there can already make the answer too long to send, which ends it first.
  const int reason = DecodeReadPropertyMultiple(request.Values, specs);
  std::string answer;
  for (const TReadAccessSpec& spec : specs) {
    const bool ours = IsOurDevice(device, spec.ObjectType, spec.Instance);
    answer += EncodeReadAccessResultHead(spec.ObjectType, ours ? device.Instance : spec.Instance);
    for (const TPropertyReference& ref : spec.Properties) {
      if (!ours) {
        answer += EncodeReadResultError(ref.Property, ref.ArrayIndex, kErrorClassObject,
                                        kErrorCodeUnknownObject);
        continue;
      }
      const std::vector<int> ids = Expand(ref.Property);
      if (ids.size() == 1 && ids[0] == ref.Property) {
        answer += ResultEntry(ref.Property, ref.ArrayIndex,
                              ReadOne(device, ref.Property, ref.ArrayIndex));
        continue;
      }
      // A group: each property it stands for, without the index.
      for (int id : ids) answer += ResultEntry(id, -1, ReadOne(device, id, -1));
      // A few octets of request can ask for the table many times over: past what can be sent,
      // building on only costs time and memory (the too long answer is aborted).
      if (answer.size() > device.MaxAnswerLength) return ComplexAck(std::move(answer));
    }
    answer += EncodeReadAccessResultTail();
  }
  if (reason != kRejectNone) return Reject(reason);
  Trace(device, "ReadMultiple: " + TraceHex(answer));
  return ComplexAck(std::move(answer));
}

TServerAnswer AnswerWriteProperty(const TServedDevice& device, const TBACnetPDU& request) {
  Trace(device, "Write Property");
  TWriteProperty w;
  if (!DecodedFully(request)) return Reject(kRejectInvalidTag);
  if (const int reason = DecodeWriteProperty(request.Values, w); reason != kRejectNone)
    return Reject(reason);
  if (!device.PropertyWrite) {
    // Nothing here is writable; saying otherwise would report a change that never happens.
    if (IsOurDevice(device, w.ObjectType, w.Instance))
      return Error(kErrorClassProperty, kErrorCodeWriteAccessDenied);
    return Error(kErrorClassObject, kErrorCodeUnknownObject);
  }
  try {
    device.PropertyWrite(w);
  } catch (...) {
  }
  return TServerAnswer{};
}

TServerAnswer AnswerUnrecognizedService() { return Reject(kRejectUnrecognizedService); }

}  // namespace zb::bacnet
