// The full-size ReadPropertyMultiple acknowledgement the codec benchmarks work on (about 1400
// octets, many objects and properties).
#pragma once

#include <string>

#include "bacnet/app/tag_codec.h"

namespace zb::bench {

inline std::string Property(int id, const std::string& value) {
  using namespace zb::bacnet;
  return EncodeEnumerated(kTagClassContext, 2, id) + EncodeOpeningTag(4) + value +
         EncodeClosingTag(4);
}

// Per analog object: present value, status flags, units, out-of-service, reliability and name.
inline std::string FullReadPropertyMultipleAck() {
  using namespace zb::bacnet;
  constexpr int C = kTagClassContext;
  constexpr int A = kTagClassApplication;
  std::string out;
  for (int instance = 0; out.size() < 1400; ++instance) {
    std::string object = EncodeObjectIdentifier(C, 0, 0, instance) + EncodeOpeningTag(1);
    object += Property(85, EncodeReal(A, 0, 20.5 + instance));
    object += Property(111, EncodeBitString(A, 0, "0000"));
    object += Property(117, EncodeEnumerated(A, 0, 62));
    object += Property(81, EncodeBoolean(A, 0, false));
    object += Property(103, EncodeEnumerated(A, 0, 0));
    object += Property(
        77, EncodeCharacterString(A, 0, "Zone " + std::to_string(instance) + " supply air"));
    object += EncodeClosingTag(1);
    if (out.size() + object.size() > 1470) break;
    out += object;
  }
  return out;
}

}  // namespace zb::bench
