#include "bacnet/app/text_tables.h"

#include <array>

namespace zb::bacnet {

namespace {

// clang-format off

// Degree sign and superscript two in Windows-1252. Kept as separate literals so that the hex
// escape never swallows a following letter.
#define DEG "\xB0"
#define SQ "\xB2"

constexpr std::array<std::string_view, kObjectTypeCount> kObjectTypeCodes = {
    "AIN", "AOUT", "AVAL", "BIN",  "BOUT", "BVAL", "CAL", "CMD", "DEV", "EVT", "FILE", "GRP",
    "LOOP", "MSI", "MSO",  "NOTI", "PRG",  "SCH",  "AVG", "MSV", "TRN", "LSP", "LSZ"};

constexpr std::array<std::string_view, kObjectTypeCount> kObjectTypeNames = {
    "Analog Input",      "Analog Output",     "Analog Value",       "Binary Input",
    "Binary Output",     "Binary Value",      "Calendar",           "Command",
    "Device",            "Event Enrollment",  "File",               "Group",
    "Loop",              "Multi-State Input", "Multi-State Output", "Notification Class",
    "Program",           "Schedule",          "Averaging",          "Multi-State Value",
    "Trend Log",         "Life Safety Point", "Life Safety Zone"};

// "Octect String" is the established spelling of this table.
constexpr std::array<std::string_view, kDataTypeCount> kDataTypeNames = {
    "Null",          "Boolean",          "Unsigned",  "Integer",    "Real",
    "Double",        "Octect String",    "Character String",        "BitString",
    "Enumerated",    "Date",             "Time",      "Object Identifier",
    "Reserved1",     "Reserved2",        "Reserved3", "None"};

constexpr std::array<std::string_view, kSegmentationCount> kSegmentation = {"Yes", "Transmit",
                                                                            "Receive", "No"};

constexpr std::array<std::string_view, kNotifyTypeCount> kNotifyTypes = {"Alarm", "Event",
                                                                         "Ack Notification"};

constexpr std::array<std::string_view, kReliabilityCount> kReliability = {
    "No Fault Detected", "No Sensor",  "Over Range",       "Under Range",   "Open Loop",
    "Shorted Loop",      "No Output",  "Unreliable Other", "Process Error", "Multi State Fault"};

constexpr std::array<std::string_view, kEventStateCount> kEventStates = {
    "Normal", "Fault", "Off Normal", "High Limit", "Low Limit", "Life Safety Alarm"};

constexpr std::array<std::string_view, kErrorClassCount> kErrorClasses = {
    "device", "object", "property", "resources", "security", "services", "vt"};

constexpr std::array<std::string_view, kErrorCodeCount> kErrorCodes = {
    "other",
    "authentication-failed",
    "configuration-in-progress",
    "device-busy",
    "dynamic-creation-not-supported",
    "file-access-denied",
    "incompatible-security-levels",
    "inconsistent-parameters",
    "inconsistent-selection-criterion",
    "invalid-data-type",
    "invalid-file-access-method",
    "invalid-file-start-position",
    "invalid-operator-name",
    "invalid-parameter-data-type",
    "invalid-time-stamp",
    "key-generation-error",
    "missing-required-parameter",
    "no-objects-of-specified-type",
    "no-space-for-object",
    "no-space-to-add-list-element",
    "no-space-to-write-property",
    "no-vt-sessions-available",
    "property-is-not-a-list",
    "object-deletion-not-permitted",
    "object-identifier-already-exists",
    "operational-problem",
    "password-failure",
    "read-access-denied",
    "security-not-supported",
    "service-request-denied",
    "timeout",
    "unknown-object",
    "unknown-property",
    "(obsolete reason)",
    "unknown-vt-class",
    "unknown-vt-session",
    "unsupported-object-type",
    "value-out-of-range",
    "vt-session-already-closed",
    "vt-session-termination-failure",
    "write-access-denied",
    "character-set-not-supported",
    "invalid-array-index",
    "cov-subscription-failed",
    "not-cov-property",
    "optional-functionality-not-supported",
    "invalid-configuration-data"};

constexpr std::array<std::string_view, kRejectReasonCount> kRejectReasons = {
    "other",
    "buffer-overflow",
    "inconsistent-parameters",
    "invalid-parameter-data-type",
    "invalid-tag",
    "missing-required-parameter",
    "parameter-out-of-range",
    "too-many-arguments",
    "undefined-enumeration",
    "unrecognized-service"};

constexpr std::array<std::string_view, kAbortReasonCount> kAbortReasons = {
    "other", "buffer-overflow", "invalid-apdu-in-this-state", "preempted-by-higher-priority-task",
    "segmentation-not-supported"};

constexpr std::array<std::string_view, kUnitCount> kUnitNames = {
    "Square Meters",                       // 0
    "Square Feet",
    "Milliamperes",
    "Amperes",
    "Ohms",
    "Volts",                               // 5
    "Kilovolts",
    "Megavolts",
    "Volt Amperes",
    "Kilovolt Amperes",
    "Megavolt Amperes",                    // 10
    "Volt Amperes Reactive",
    "Kilovolt Amperes Reactive",
    "Megavolt Amperes Reactive",
    "Degrees Phase",
    "Power Factor",                        // 15
    "Joules",
    "Kilojoules",
    "Watt Hours",
    "Kilowatt Hours",
    "Btus",                                // 20
    "Therms",
    "Ton Hours",
    "Joules Per Kilogram Dry Air",
    "Btus Per Pound Dry Air",
    "Cycles Per Hour",                     // 25
    "Cycles Per Minute",
    "Hertz",
    "Grams Of Water Per Kilogram Dry Air",
    "Percent Relative Humidity",
    "Millimeters",                         // 30
    "Meters",
    "Inches",
    "Feet",
    "Watts Per Square Foot",
    "Watts Per Square Meter",              // 35
    "Lumens",
    "Luxes",
    "Foot Candles",
    "Kilograms",
    "Pounds Mass",                         // 40
    "Tons",
    "Kilograms Per Second",
    "Kilograms Per Minute",
    "Kilograms Per Hour",
    "Pounds Mass Per Minute",              // 45
    "Pounds Mass Per Hour",
    "Watts",
    "Kilowatts",
    "Megawatts",
    "Btus Per Hour",                       // 50
    "Horsepower",
    "Tons Refrigeration",
    "Pascals",
    "Kilopascals",
    "Bars",                                // 55
    "Pounds Force Per Square Inch",
    "Centimeters Of Water",
    "Inches Of Water",
    "Millimeters Of Mercury",
    "Centimeters Of Mercury",              // 60
    "Inches Of Mercury",
    "Degrees Celsius",
    "Degrees Kelvin",
    "Degrees Fahrenheit",
    "Degree Days Celsius",                 // 65
    "Degree Days Fahrenheit",
    "Years",
    "Months",
    "Weeks",
    "Days",                                // 70
    "Hours",
    "Minutes",
    "Seconds",
    "Meters Per Second",
    "Kilometers Per Hour",                 // 75
    "Feet Per Second",
    "Feet Per Minute",
    "Miles Per Hour",
    "Cubic Feet",
    "Cubic Meters",                        // 80
    "Imperial Gallons",
    "Liters",
    "Us Gallons",
    "Cubic Feet Per Minute",
    "Cubic Meters Per Second",             // 85
    "Imperial Gallons Per Minute",
    "Liters Per Second",
    "Liters Per Minute",
    "Us Gallons Per Minute",
    "Degrees Angular",                     // 90
    "Degrees Celsius Per Hour",
    "Degrees Celsius Per Minute",
    "Degrees Fahrenheit Per Hour",
    "Degrees Fahrenheit Per Minute",
    "No Units",                            // 95
    "Parts Per Million",
    "Parts Per Billion",
    "Percent",
    "Percent Per Second",
    "Per Minute",                          // 100
    "Per Second",
    "Psi Per Degree Fahrenheit",
    "Radians",
    "Revolutions Per Minute",
    "Currency1",                           // 105
    "Currency2",
    "Currency3",
    "Currency4",
    "Currency5",
    "Currency6",                           // 110
    "Currency7",
    "Currency8",
    "Currency9",
    "Currency10",
    "Square Inches",                       // 115
    "Square Centimeters",
    "Btus Per Pound",
    "Centimeters",
    "Pounds Mass Per Second",
    "Delta Degrees Fahrenheit",            // 120
    "Delta Degrees Kelvin",
    "Kilohms",
    "Megohms",
    "Millivolts",
    "Kilojoules Per Kilogram",             // 125
    "Megajoules",
    "Joules Per Degree Kelvin",
    "Joules Per Kilogram Degree Kelvin",
    "Kilohertz",
    "Megahertz",                           // 130
    "Per Hour",
    "Milliwatts",
    "Hectopascals",
    "Millibars",
    "Cubic Meters Per Hour",               // 135
    "Liters Per Hour",
    "Kilowatt Hours Per Square Meter",
    "Kilowatt Hours Per Square Foot",
    "Megajoules Per Square Meter",
    "Megajoules Per Square Foot",          // 140
    "Watts Per Square Meter Degree Kelvin",
    "Cubic Feet Per Second",
    "Percent Obscuration Per Foot",
    "Percent Obscuration Per Meter"};

// Kept as given, including "ft" for cubic feet and "ft3" for cubic feet per minute.
constexpr std::array<std::string_view, kUnitCount> kUnitAbbreviations = {
    "m" SQ, "ft" SQ, "ma", "amps", "ohm",                                      // 0
    "V", "kv", "Mv", "va", "kva",                                              // 5
    "mva", "var", "kvar", "mvar", "deg phase",                                 // 10
    "pf", "j", "kj", "wh", "kwh",                                              // 15
    "btu", "therm", "ton-h", "j/kg", "btu/lb (dry air)",                       // 20
    "cph", "cpm", "hz", "g/kg", "%rh",                                         // 25
    "mm", "m", "in", "ft", "w/ft" SQ,                                          // 30
    "w/m" SQ, "lm", "lx", "ft-c", "kg",                                        // 35
    "lb", "ton", "kg/s", "kg/m", "kg/h",                                       // 40
    "lbs/m", "lbs/h", "w", "kw", "Mw",                                         // 45
    "btu/h", "hp", "ton-r", "pa", "kpa",                                       // 50
    "bar", "psi", "cm", "in-H20", "mm-Hg",                                     // 55
    "cm-Hg", "in-Hg", DEG "C", DEG "K", DEG "F",                               // 60
    DEG "C-days", DEG "F-days", "yr", "mth", "wk",                             // 65
    "day", "hr", "min", "sec", "m/sec",                                        // 70
    "km/h", "fps", "fpm", "mph", "ft",                                         // 75
    "m3", "imp gal", "l", "US gal", "ft3",                                     // 80
    "m3/s", "imp gpm", "l/s", "l/m", "US gpm",                                 // 85
    "deg angular", DEG "C/h", DEG "C/m", DEG "F/h", DEG "F/m",                 // 90
    "None", "ppm", "ppb", "%", "%/s",                                          // 95
    "/min", "/s", "psi/" DEG "F", "rad", "rpm",                                // 100
    "Currency1", "Currency2", "Currency3", "Currency4", "Currency5",           // 105
    "Currency6", "Currency7", "Currency8", "Currency9", "Currency10",          // 110
    "in" SQ, "cm" SQ, "btu/lb", "cm", "lbs/s",                                 // 115
    "delta " DEG "F", "delta " DEG "K", "kohm", "Mohm", "mv",                  // 120
    "kj/kg", "Mj", "j/" DEG "K", "j/kg" DEG "K", "khz",                        // 125
    "mhz", "/hr", "mw", "hpa", "mb",                                           // 130
    "m3/hr", "l/h", "kwh/m" SQ, "kwh/ft" SQ, "mj/m" SQ,                        // 135
    "mj/ft" SQ, "w/m" SQ "K", "fps3", "%/ft", "%/m"};                          // 140

#undef DEG
#undef SQ

// clang-format on

// std::array pads missing initialisers silently; every table must be filled to its last entry.
template <size_t N>
constexpr bool Filled(const std::array<std::string_view, N>& table) {
  for (auto t : table)
    if (t.empty()) return false;
  return true;
}
static_assert(Filled(kObjectTypeCodes) && Filled(kObjectTypeNames) && Filled(kDataTypeNames));
static_assert(Filled(kSegmentation) && Filled(kNotifyTypes) && Filled(kReliability));
static_assert(Filled(kEventStates) && Filled(kErrorClasses) && Filled(kErrorCodes));
static_assert(Filled(kRejectReasons) && Filled(kAbortReasons));
static_assert(Filled(kUnitNames) && Filled(kUnitAbbreviations));

template <size_t N>
std::string_view Lookup(const std::array<std::string_view, N>& table, int index) {
  return index >= 0 && size_t(index) < N ? table[size_t(index)] : std::string_view();
}

std::string Named(std::string_view name, int number) {
  std::string out(name);
  out += " (";
  out += std::to_string(number);
  out += ")";
  return out;
}

}  // namespace

std::string_view ObjectTypeCode(int t) { return Lookup(kObjectTypeCodes, t); }
std::string_view ObjectTypeName(int t) { return Lookup(kObjectTypeNames, t); }
std::string_view DataTypeName(int t) { return Lookup(kDataTypeNames, t); }
std::string_view SegmentationText(int v) { return Lookup(kSegmentation, v); }
std::string_view NotifyTypeText(int v) { return Lookup(kNotifyTypes, v); }
std::string_view ReliabilityText(int v) { return Lookup(kReliability, v); }
std::string_view EventStateText(int v) { return Lookup(kEventStates, v); }
std::string_view ErrorClassText(int v) { return Lookup(kErrorClasses, v); }
std::string_view ErrorCodeText(int v) { return Lookup(kErrorCodes, v); }
std::string_view RejectReasonText(int v) { return Lookup(kRejectReasons, v); }
std::string_view AbortReasonText(int v) { return Lookup(kAbortReasons, v); }
std::string_view UnitName(int v) { return Lookup(kUnitNames, v); }
std::string_view UnitAbbreviation(int v) { return Lookup(kUnitAbbreviations, v); }

std::string ErrorText(int errorClass, int errorCode) {
  return "Error Class: " + Named(ErrorClassText(errorClass), errorClass) +
         " - Reason: " + Named(ErrorCodeText(errorCode), errorCode);
}

std::string RejectText(int reason) {
  return "Reject Reason: " + Named(RejectReasonText(reason), reason);
}

std::string AbortText(int reason) {
  return "Abort Reason: " + Named(AbortReasonText(reason), reason);
}

}  // namespace zb::bacnet
