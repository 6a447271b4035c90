// Who-Is and I-Am: the records, their service data and their decoding from the tagged value list.
#pragma once

#include <cstdint>
#include <string>

#include "platform/variant.h"

namespace zb::bacnet {

struct TWhoIs {
  bool HasRange = false;  // without a range every device is asked
  int Low = 0;
  int High = 0;
};

struct TIAm {
  int32_t ObjectType = 0;
  int32_t Instance = 0;
  int32_t MaxAPDU = 0;
  int32_t Segmentation = 0;  // 0 = segmented both ways
  int32_t Vendor = 0;
};

std::string EncodeWhoIs(const TWhoIs& whoIs);
// False for half a range or a malformed one (which asks for no device).
bool DecodeWhoIs(const Variant& values, TWhoIs& whoIs);
// Whether a well-formed Who-Is asks for the device `instance`.
bool WhoIsIncludes(const TWhoIs& whoIs, int instance);

std::string EncodeIAm(const TIAm& iAm);
// Four elements: an object identifier and three integer values; false otherwise.
bool DecodeIAm(const Variant& values, TIAm& iAm);

}  // namespace zb::bacnet
