// Texts of the site and driver commands: the clock texts, the SITESTATUS lines, and the object
// list elements of DRIVERCOMMAND GETPOINTSLIST.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bacnet/app/device.h"

namespace zb {

// The platform's short date ("mm/dd/yyyy") and long time ("hh:nn:ss", 24 hours) of a
// date-time value.
std::string ShortDateText(double dateTime);
std::string LongTimeText(double dateTime);

// The N + 6 lines of SITESTATUS for the bindings, with the site's clock at siteNow.
std::vector<std::string> SiteStatusLines(const std::vector<bacnet::TBACnetBinding>& bindings,
                                         double siteNow);
// "Device #1234 / Network: 5 / Address: [c0][a8] / Vendor ID: ..." of one binding.
std::string SiteStatusDeviceLine(const bacnet::TBACnetBinding& binding);

// "{TRUE}{Analog}{Input}" ... "{FALSE}{BACnet Type}{Object}" by object type.
std::string_view ObjectKindText(int objectType);
// The units text of an engineering units value: its abbreviation for 0..144 except 95 (no
// units), otherwise empty.
std::string UnitsText(int units);
// "{address}{name}{units}" followed by the kind text.
std::string ObjectListElement(std::string_view address, std::string_view name,
                              std::string_view units, int objectType);

}  // namespace zb
