// The client requests of the device object, built from the session's request Variants:
// ReadProperty, ReadPropertyMultiple, WriteProperty (value encoded here or by the caller) and
// ReadRange. Stateless: the device sends what these build.
#pragma once

#include <string>

#include "bacnet/app/pdu.h"
#include "bacnet/app/point_address.h"
#include "platform/variant.h"

namespace zb::bacnet {

// Each fills `pdu` with a confirmed request to the device the request's point address names,
// from `localAddress`; false when the request is malformed or its encoding fails.
// [addr, prop] / [addr, prop, index]: ReadProperty; [addr, p1, p2, p3, ...]: ReadPropertyMultiple.
bool BuildReadRequest(const Variant& request, const std::string& localAddress, TBACnetPDU& pdu);
// ReadProperty of an address already read (index -1: none).
bool BuildReadRequest(const TBACnetPointAddress& address, int32_t property, int32_t index,
                      const std::string& localAddress, TBACnetPDU& pdu);
// Exactly [addr, prop, value]; the value's data type follows the address (see EncodeWriteValue).
bool BuildWriteRequest(const Variant& request, const std::string& localAddress, TBACnetPDU& pdu);
// [addr, prop]; `encoded` (tags 3 ... 3, optional priority) is appended as it is.
bool BuildWriteEncodedRequest(const Variant& request, const std::string& encoded,
                              const std::string& localAddress, TBACnetPDU& pdu);
// [addr, prop, range]; the range specification is appended as it is.
bool BuildReadRangeRequest(const Variant& request, const std::string& localAddress,
                           TBACnetPDU& pdu);

constexpr int kNoDataType = 16;  // a point address without a data type; nothing is encoded

// The data type a RequestWrite uses: the address's qualifier when it names a property, else the
// object type's default (REAL, ENUMERATED, UNSIGNED, or none); Out_Of_Service is BOOLEAN.
// Present-value (85) and relinquish-default (104) named without a qualifier take the object
// type's default as well.
int WriteDataType(int objectType, int addressPropertyId, int qualifier, int propertyId);
// The value as an application-tagged primitive of the data type; data types from 13 on encode
// nothing. False when the value does not convert.
bool EncodeWriteValue(int dataType, const Variant& value, std::string& out);

}  // namespace zb::bacnet
