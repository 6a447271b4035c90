// The stack's fixed vocabulary: enumeration texts indexed by their BACnet values, and the one-line
// messages for received Error, Reject and Abort PDUs. Texts are 8-bit (Windows-1252) byte strings.
// Every lookup checks its index and gives "" outside its table.
#pragma once

#include <string>
#include <string_view>

namespace zb::bacnet {

constexpr int kObjectTypeCount = 23;  // object types 0..22 have codes and names
constexpr int kDataTypeCount = 17;    // application tags 0..15 and 16 "None"
constexpr int kSegmentationCount = 4;
constexpr int kNotifyTypeCount = 3;
constexpr int kReliabilityCount = 10;
constexpr int kEventStateCount = 6;
constexpr int kErrorClassCount = 7;
constexpr int kErrorCodeCount = 47;
constexpr int kRejectReasonCount = 10;
constexpr int kAbortReasonCount = 5;
constexpr int kUnitCount = 145;  // engineering units 0..144
constexpr int kUnitNoUnits = 95;

std::string_view ObjectTypeCode(int objectType);  // "AIN" .. "LSZ"
std::string_view ObjectTypeName(int objectType);  // "Analog Input" ..
std::string_view DataTypeName(int dataType);
std::string_view SegmentationText(int segmentation);
std::string_view NotifyTypeText(int notifyType);
std::string_view ReliabilityText(int reliability);
std::string_view EventStateText(int eventState);
std::string_view ErrorClassText(int errorClass);
std::string_view ErrorCodeText(int errorCode);
std::string_view RejectReasonText(int reason);
std::string_view AbortReasonText(int reason);
std::string_view UnitName(int units);
std::string_view UnitAbbreviation(int units);  // e.g. "\xB0" "C" for degrees Celsius

// "Error Class: property (2) - Reason: unknown-property (32)"; a number outside its table keeps
// the parentheses with an empty name.
std::string ErrorText(int errorClass, int errorCode);
std::string RejectText(int reason);  // "Reject Reason: <name> (<reason>)"
std::string AbortText(int reason);   // "Abort Reason: <name> (<reason>)"

}  // namespace zb::bacnet
