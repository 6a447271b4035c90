// The answering side of the driver's own Device object: ReadProperty, ReadPropertyMultiple and
// WriteProperty requests addressed to it. Called from the device's indication handler.
#pragma once

#include <string>

#include "bacnet/app/pdu.h"
#include "bacnet/app/property_id.h"

namespace zb::bacnet {

class TBACnetDevice;

// Tag layouts of ReadDeviceProperty.
constexpr int kReadPropertyLayout = 3;          // [1] property, [2] index, [3] ... [3]
constexpr int kReadPropertyMultipleLayout = 4;  // [2] property, [3] index, [4] ... [4]

constexpr int kWildcardDeviceInstance = 4194303;

constexpr int kErrorClassObject = 1;
constexpr int kErrorClassProperty = 2;
constexpr int kErrorCodeReadAccessDenied = 27;
constexpr int kErrorCodeUnknownObject = 31;
constexpr int kErrorCodeUnknownProperty = 32;
constexpr int kErrorCodeWriteAccessDenied = 40;
constexpr int kErrorCodeInvalidArrayIndex = 42;
constexpr int kErrorCodePropertyIsNotAnArray = 50;

constexpr int kRejectInvalidTag = 4;
constexpr int kRejectMissingRequiredParameter = 5;
constexpr int kRejectTooManyArguments = 7;
constexpr int kRejectUnrecognizedService = 9;

// Each answers through the device's application layer: a complex ACK for the reads (returning
// its service data; empty when the answer was an Error or Reject), an Error when the object or
// property is not there, a Reject when the request does not parse. The write is handed to
// OnPropertyWrite and acknowledged when an owner takes it, else refused with an Error.
std::string AnswerReadProperty(TBACnetDevice& device, const TBACnetPDU& request);
std::string AnswerReadPropertyMultiple(TBACnetDevice& device, const TBACnetPDU& request);
void AnswerWriteProperty(TBACnetDevice& device, const TBACnetPDU& request);
// Whether a Who-Is with these values asks for `instance`: no range asks for every device; a
// range asks for those inside it; half a range or a malformed one asks for none.
bool WhoIsIncludes(const Variant& values, int instance);
// A confirmed service this device does not execute: Reject, unrecognized service.
void AnswerUnrecognizedService(TBACnetDevice& device, const TBACnetPDU& request);

// The properties of the Device object in the given layout; ALL, REQUIRED and OPTIONAL give
// their groups in ascending order; what cannot be read gives nothing. arrayIndex -1: none.
std::string ReadDeviceProperty(TBACnetDevice& device, int propertyId, int arrayIndex, int layout);

// The property identifiers served, ascending.
const int* DevicePropertyIds(int& count);

}  // namespace zb::bacnet
