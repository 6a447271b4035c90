#include "bacnet/app/device_request.h"

#include <cmath>
#include <cstdint>

#include "bacnet/app/point_address.h"
#include "bacnet/app/property_id.h"
#include "bacnet/app/read_property.h"
#include "bacnet/app/read_property_multiple.h"
#include "bacnet/app/read_range.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/write_property.h"
#include "support/strings.h"

namespace zb::bacnet {

namespace {

bool ElementText(const Variant& request, int i, std::string& out) {
  return request[request.LowBound() + i].TryToText(out);
}

bool ElementInt(const Variant& request, int i, int32_t& out) {
  std::string text;
  if (!ElementText(request, i, text)) return false;
  out = TextToInt(text);
  return true;
}

// The addressing every request starts with.
void Address(const TBACnetPointAddress& address, const std::string& localAddress, TBACnetPDU& pdu) {
  ClearPDU(pdu);
  pdu.PDUType = kPDUConfirmedRequest;
  pdu.Broadcast = false;
  pdu.DestinationNetwork = address.Network;
  pdu.DestinationAddress = address.DeviceAddress.view();
  pdu.RouterAddress = address.RouterAddress.view();
  pdu.SourceAddress = localAddress;
  // The application layer reassembles segmented answers, and our I-Am announces segmentation
  // both ways, so say so to the peer.
  pdu.SegmentedResponseAccepted = true;
}

// The point address and property identifier every request list starts with, and the addressing.
bool Begin(const Variant& request, int minCount, const std::string& localAddress, TBACnetPDU& pdu,
           TBACnetPointAddress& address, int32_t& propertyId) {
  if (!request.IsArray() || request.Count() < minCount) return false;
  std::string text;
  if (!ElementText(request, 0, text) || !ParsePointAddress(text, address)) return false;
  if (!ElementInt(request, 1, propertyId)) return false;
  Address(address, localAddress, pdu);
  return true;
}

}  // namespace

bool BuildReadRequest(const TBACnetPointAddress& address, int32_t property, int32_t index,
                      const std::string& localAddress, TBACnetPDU& pdu) {
  try {
    Address(address, localAddress, pdu);
    TReadProperty r;
    r.ObjectType = address.ObjectType;
    r.Instance = address.InstanceID;
    r.Property = property;
    if (index >= 0) r.ArrayIndex = index;
    pdu.ServiceChoice = kServiceReadProperty;
    pdu.ServiceData = EncodeReadProperty(r);
    return true;
  } catch (...) {
    return false;
  }
}

bool BuildReadRequest(const Variant& request, const std::string& localAddress, TBACnetPDU& pdu) {
  try {
    TBACnetPointAddress a;
    int32_t prop = 0;
    if (!Begin(request, 2, localAddress, pdu, a, prop)) return false;
    const int n = request.Count();
    if (n <= 3) {
      int32_t index = -1;
      if (n == 3 && !ElementInt(request, 2, index)) return false;
      return BuildReadRequest(a, prop, index, localAddress, pdu);
    } else {
      TReadAccessSpec spec;
      spec.ObjectType = a.ObjectType;
      spec.Instance = a.InstanceID;
      for (int i = 1; i < n; ++i) {
        int32_t p = 0;
        if (!ElementInt(request, i, p)) return false;
        spec.Properties.push_back({p, -1});
      }
      pdu.ServiceChoice = kServiceReadPropertyMultiple;
      pdu.ServiceData = EncodeReadPropertyMultiple({spec});
    }
    return true;
  } catch (...) {
    return false;
  }
}

int WriteDataType(int objectType, int addressPropertyId, int qualifier, int propertyId) {
  if (propertyId == kPropOutOfService) return kAppTagBoolean;
  // Present-value and relinquish-default hold the object's own value type, so an address naming
  // them without a data type means that type; any other property needs its type spelled out.
  const bool ownValueType =
      qualifier == kNoDataType &&
      (addressPropertyId == kPropPresentValue || addressPropertyId == kPropRelinquishDefault);
  if (addressPropertyId != -1 && !ownValueType) return qualifier;
  switch (objectType) {
    case kObjectAnalogInput:
    case kObjectAnalogOutput:
    case kObjectAnalogValue:
      return kAppTagReal;
    case kObjectBinaryInput:
    case kObjectBinaryOutput:
    case kObjectBinaryValue:
      return kAppTagEnumerated;
    case kObjectMultiStateInput:
    case kObjectMultiStateOutput:
    case kObjectMultiStateValue:
      return kAppTagUnsigned;
    default:
      return kNoDataType;
  }
}

namespace {

bool NumberOf(const Variant& v, double& out) {
  switch (v.type()) {
    case Variant::Type::Integer:
      out = v.AsIntRaw();
      return true;
    case Variant::Type::Real:
      out = v.AsRealRaw();
      return true;
    case Variant::Type::Boolean:
      out = v.AsBoolRaw() ? 1 : 0;
      return true;
    case Variant::Type::Empty:
      out = 0;
      return true;
    case Variant::Type::Text:
      out = TextToDouble(v.AsTextRaw());
      return true;
    default:
      return false;
  }
}

bool IntegerOf(const Variant& v, int64_t& out) {
  if (v.IsText()) {
    out = TextToInt(v.AsTextRaw());
    return true;
  }
  double d = 0;
  if (!NumberOf(v, d) || !std::isfinite(d) || std::fabs(d) > 4294967295.0) return false;
  out = static_cast<int64_t>(std::llround(d));
  return true;
}

}  // namespace

bool EncodeWriteValue(int dataType, const Variant& value, std::string& out) {
  std::string text;
  if (value.IsArray() || !value.TryToText(text)) return false;
  const int c = kTagClassApplication;
  switch (dataType) {
    case kAppTagNull:
      out = EncodeNull(c, 0);
      return true;
    case kAppTagBoolean:
      out = EncodeBoolean(
          c, 0, value.type() == Variant::Type::Boolean ? value.AsBoolRaw() : TextToBool(text));
      return true;
    case kAppTagUnsigned:
    case kAppTagEnumerated: {
      int64_t v = 0;
      if (!IntegerOf(value, v)) return false;
      const auto u = static_cast<uint32_t>(v);
      out = dataType == kAppTagUnsigned ? EncodeUnsigned(c, 0, u) : EncodeEnumerated(c, 0, u);
      return true;
    }
    case kAppTagSigned: {
      int64_t v = 0;
      if (!IntegerOf(value, v)) return false;
      out = EncodeSigned(c, 0, static_cast<int32_t>(v));
      return true;
    }
    case kAppTagReal:
    case kAppTagDouble: {
      double d = 0;
      if (!NumberOf(value, d)) return false;
      out = dataType == kAppTagReal ? EncodeReal(c, 0, d) : EncodeDouble(c, 0, d);
      return true;
    }
    case kAppTagOctetString:
      out = EncodeOctetString(c, 0, text);
      return true;
    case kAppTagCharacterString:
      out = EncodeCharacterString(c, 0, text);
      return true;
    case kAppTagBitString:
      out = EncodeBitString(c, 0, text);
      return true;
    case kAppTagDate:
      out = EncodeDate(c, 0, text);
      return true;
    case kAppTagTime:
      out = EncodeTime(c, 0, text);
      return true;
    case kAppTagObjectIdentifier: {
      // "type:instance" or "type,instance" names both parts; a single number is used for both,
      // as a one-element value always was.
      size_t sep = text.find_first_of(":,");
      int32_t type = 0, instance = 0;
      if (sep == std::string::npos) {
        int64_t v = 0;
        if (!IntegerOf(value, v)) return false;
        type = instance = static_cast<int32_t>(v);
      } else {
        type = TextToInt(text.substr(0, sep));
        instance = TextToInt(text.substr(sep + 1));
      }
      out = EncodeObjectIdentifier(c, 0, static_cast<uint32_t>(type),
                                   static_cast<uint32_t>(instance));
      return true;
    }
    default:
      out.clear();
      return true;  // no data type: nothing is encoded
  }
}

bool BuildWriteRequest(const Variant& request, const std::string& localAddress, TBACnetPDU& pdu) {
  try {
    if (!request.IsArray() || request.Count() != 3) return false;
    TBACnetPointAddress a;
    int32_t prop = 0;
    if (!Begin(request, 3, localAddress, pdu, a, prop)) return false;
    const int type = WriteDataType(a.ObjectType, a.PropertyID, a.Qualifier, prop);
    std::string value;
    if (!EncodeWriteValue(type, request[request.LowBound() + 2], value)) return false;
    TWriteProperty w;
    w.ObjectType = a.ObjectType;
    w.Instance = a.InstanceID;
    w.Property = prop;
    w.EncodedValue = std::move(value);
    w.Priority = 10;
    pdu.ServiceChoice = kServiceWriteProperty;
    pdu.ServiceData = EncodeWriteProperty(w);
    return true;
  } catch (...) {
    return false;
  }
}

bool BuildWriteEncodedRequest(const Variant& request, const std::string& encoded,
                              const std::string& localAddress, TBACnetPDU& pdu) {
  try {
    TBACnetPointAddress a;
    int32_t prop = 0;
    if (!Begin(request, 2, localAddress, pdu, a, prop)) return false;
    pdu.ServiceChoice = kServiceWriteProperty;
    pdu.ServiceData = EncodeObjectPropertyHead(a.ObjectType, a.InstanceID, prop) + encoded;
    return true;
  } catch (...) {
    return false;
  }
}

bool BuildReadRangeRequest(const Variant& request, const std::string& localAddress,
                           TBACnetPDU& pdu) {
  try {
    TBACnetPointAddress a;
    int32_t prop = 0;
    if (!Begin(request, 3, localAddress, pdu, a, prop)) return false;
    TReadRange r;
    r.ObjectType = a.ObjectType;
    r.Instance = a.InstanceID;
    r.Property = prop;
    if (!ElementText(request, 2, r.Range)) return false;
    pdu.ServiceChoice = kServiceReadRange;
    pdu.ServiceData = EncodeReadRange(r);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace zb::bacnet
