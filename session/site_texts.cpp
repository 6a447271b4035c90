#include "session/site_texts.h"

#include <cstdio>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/text_tables.h"

namespace zb {

std::string ShortDateText(double dateTime) {
  bacnet::DateTimeParts p;
  if (!bacnet::DecodeDateTime(dateTime, p)) return "00/00/0000";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", p.Month, p.Day, p.Year);
  return buf;
}

std::string LongTimeText(double dateTime) {
  bacnet::DateTimeParts p;
  if (!bacnet::DecodeDateTime(dateTime, p)) return "00:00:00";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.Hour, p.Minute, p.Second);
  return buf;
}

std::string SiteStatusDeviceLine(const bacnet::TBACnetBinding& b) {
  std::string address;
  char hex[8];
  for (unsigned char c : b.Address.view()) {
    std::snprintf(hex, sizeof hex, "[%02x]", c);
    address += hex;
  }
  return "Device #" + std::to_string(b.Instance) + " / Network: " + std::to_string(b.Network) +
         " / Address: " + address + " / Vendor ID: " + std::to_string(b.Vendor) +
         " / Segmentation: " + std::string(bacnet::SegmentationText(b.Segmentation)) +
         " / Max APDU Length: " + std::to_string(b.MaxAPDU);
}

std::vector<std::string> SiteStatusLines(const std::vector<bacnet::TBACnetBinding>& bindings,
                                         double siteNow) {
  std::vector<std::string> lines;
  lines.push_back("Current Date: " + ShortDateText(siteNow));
  lines.push_back("Current Time: " + LongTimeText(siteNow));
  lines.emplace_back();
  lines.push_back(std::to_string(bindings.size()) + " Devices Found:");
  lines.emplace_back();
  for (const bacnet::TBACnetBinding& b : bindings) lines.push_back(SiteStatusDeviceLine(b));
  lines.emplace_back();
  return lines;
}

std::string_view ObjectKindText(int t) {
  switch (t) {
    case 0:
    case 13:
      return "{TRUE}{Analog}{Input}";
    case 1:
    case 14:
      return "{TRUE}{Analog}{Output}";
    case 2:
    case 19:
      return "{TRUE}{Analog}{Variable}";
    case 3:
      return "{TRUE}{Digital}{Input}";
    case 4:
      return "{TRUE}{Digital}{Output}";
    case 5:
      return "{TRUE}{Digital}{Variable}";
    default:
      return "{FALSE}{BACnet Type}{Object}";
  }
}

std::string UnitsText(int units) {
  if (units < 0 || units >= bacnet::kUnitCount || units == bacnet::kUnitNoUnits) return {};
  return std::string(bacnet::UnitAbbreviation(units));
}

std::string ObjectListElement(std::string_view address, std::string_view name,
                              std::string_view units, int objectType) {
  std::string e = "{";
  e += address;
  e += "}{";
  e += name;
  e += "}{";
  e += units;
  e += "}";
  e += ObjectKindText(objectType);
  return e;
}

}  // namespace zb
