// Named BACnet identifiers the stack and the sessions use: properties, object types and service
// choices, each with its standard number. Plain enumerations, so they pass wherever the records
// and the tagged value list carry the number as an integer.
#pragma once

namespace zb::bacnet {

enum TPropertyId : int {
  kPropActiveText = 4,
  kPropAll = 8,
  kPropAPDUSegmentTimeout = 10,
  kPropAPDUTimeout = 11,
  kPropApplicationSoftwareVersion = 12,
  kPropDescription = 28,
  kPropDeviceAddressBinding = 30,
  kPropFirmwareRevision = 44,
  kPropInactiveText = 46,
  kPropLocalDate = 56,
  kPropLocalTime = 57,
  kPropLocation = 58,
  kPropMaxAPDULengthAccepted = 62,
  kPropMaxInfoFrames = 63,
  kPropMaxMaster = 64,
  kPropModelName = 70,
  kPropNumberOfAPDURetries = 73,
  kPropObjectIdentifier = 75,
  kPropObjectList = 76,
  kPropObjectName = 77,
  kPropObjectType = 79,
  kPropOptional = 80,
  kPropOutOfService = 81,
  kPropOutputUnits = 82,
  kPropPresentValue = 85,
  kPropProtocolConformanceClass = 95,
  kPropProtocolObjectTypesSupported = 96,
  kPropProtocolServicesSupported = 97,
  kPropProtocolVersion = 98,
  kPropRelinquishDefault = 104,
  kPropRequired = 105,
  kPropSegmentationSupported = 107,
  kPropSystemStatus = 112,
  kPropUnits = 117,
  kPropVendorIdentifier = 120,
  kPropVendorName = 121,
  kPropLogBuffer = 131,
  kPropProtocolRevision = 139,
  kPropRecordCount = 141,
  kPropDatabaseRevision = 155,
  kPropMaxSegmentsAccepted = 167,
  kPropProfileName = 168,
};

enum TObjectType : int {
  kObjectAnalogInput = 0,
  kObjectAnalogOutput = 1,
  kObjectAnalogValue = 2,
  kObjectBinaryInput = 3,
  kObjectBinaryOutput = 4,
  kObjectBinaryValue = 5,
  kObjectDevice = 8,
  kObjectLoop = 12,
  kObjectMultiStateInput = 13,
  kObjectMultiStateOutput = 14,
  kObjectMultiStateValue = 19,
  kObjectTrendLog = 20,
};

enum TConfirmedService : int {
  kServiceAcknowledgeAlarm = 0,
  kServiceReadProperty = 12,
  kServiceReadPropertyMultiple = 14,
  kServiceWriteProperty = 15,
  kServiceReadRange = 26,
};

enum TUnconfirmedService : int {
  kServiceIAm = 0,
  kServiceUnconfirmedEventNotification = 3,
  kServiceWhoIs = 8,
};

}  // namespace zb::bacnet
