// Point address parser on arbitrary texts: never throws or reads outside the text; a parsed
// record formats to a text that parses back to the same record (and formats the same again);
// an object address of it reads back through the "@" rule.
#include "bacnet/app/point_address.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace zb::bacnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TBACnetPointAddress a;
  if (!ParsePointAddress(text, a)) return 0;
  std::string formatted = FormatPointAddress(a);
  TBACnetPointAddress b;
  if (!ParsePointAddress(formatted, b)) std::abort();
  if (!(a == b)) std::abort();
  if (FormatPointAddress(b) != formatted) std::abort();

  std::string object =
      FormatObjectAddress(a.ObjectType, a.InstanceID, a.Network, a.DeviceAddress.view());
  TBACnetPointAddress c;
  if (!ParsePointAddress(object, c)) std::abort();
  if (c.Network != a.Network || !(c.DeviceAddress == a.DeviceAddress) ||
      c.ObjectType != a.ObjectType || c.InstanceID != a.InstanceID || c.PropertyID != -1)
    std::abort();
  return 0;
}
