// The answering side of the driver's own Device object: ReadProperty, ReadPropertyMultiple and
// WriteProperty requests addressed to it. Each decides the answer from what the device serves;
// the device sends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "bacnet/app/pdu.h"
#include "bacnet/app/property_id.h"
#include "bacnet/app/service_errors.h"
#include "bacnet/app/write_property.h"

namespace zb::bacnet {

// Tag layouts of ReadDeviceProperty.
constexpr int kReadPropertyLayout = 3;          // [1] property, [2] index, [3] ... [3]
constexpr int kReadPropertyMultipleLayout = 4;  // [2] property, [3] index, [4] ... [4]

constexpr int kWildcardDeviceInstance = 4194303;

// What the answers read of the device, valid for one call.
struct TServedDevice {
  int Instance = 1;
  int APDUTimeout = 0;
  int APDUSegmentTimeout = 0;
  int NumberOfAPDURetries = 0;
  int MaxInfoFrames = 0;
  int MaxMaster = 0;
  int VendorIdentifier = 0;
  int SystemStatus = 0;
  uint32_t MaxAPDULength = 0;
  // The local date and time Local_Date and Local_Time report (a date-time value).
  double Now = 0;
  // Past this many octets a ReadPropertyMultiple answer stops growing.
  size_t MaxAnswerLength = SIZE_MAX;
  std::string_view ObjectName;
  std::string_view VendorName;
  std::string_view ModelName;
  std::string_view ApplicationSoftwareVersion;
  std::string_view Location;
  std::string_view Description;
  std::string_view FirmwareRevision;
  std::string_view ProfileName;
  // The owner's objects: index 0 asks for their count (in `instance`); type and instance both 0
  // end the list. Empty: the device has no owner for them.
  std::function<void(int index, int& type, int& instance)> ObjectListRead;
  // The owner that takes writes. Empty: nothing is writable.
  std::function<void(const TWriteProperty& write)> PropertyWrite;
  std::function<void(const std::string& text)> Trace;
};

// The answer to one confirmed request.
struct TServerAnswer {
  int PDUType = kPDUSimpleAck;  // kPDUComplexAck, kPDUSimpleAck, kPDUError or kPDUReject
  std::string Data;             // a complex ACK's service data
  int ErrorClass = 0;
  int ErrorCode = 0;  // the reason of a Reject
};

// A complex ACK for the reads, an Error when the object or property is not there, a Reject when
// the request does not parse. The write is handed to PropertyWrite and acknowledged when an
// owner takes it, else refused with an Error.
TServerAnswer AnswerReadProperty(const TServedDevice& device, const TBACnetPDU& request);
TServerAnswer AnswerReadPropertyMultiple(const TServedDevice& device, const TBACnetPDU& request);
TServerAnswer AnswerWriteProperty(const TServedDevice& device, const TBACnetPDU& request);
// A confirmed service this device does not execute: Reject, unrecognized service.
TServerAnswer AnswerUnrecognizedService();

// The properties of the Device object in the given layout; ALL, REQUIRED and OPTIONAL give
// their groups in ascending order; what cannot be read gives nothing. arrayIndex -1: none.
std::string ReadDeviceProperty(const TServedDevice& device, int propertyId, int arrayIndex,
                               int layout);

// The property identifiers served, ascending.
const int* DevicePropertyIds(int& count);

}  // namespace zb::bacnet
