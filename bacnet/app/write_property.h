// WriteProperty: the request record, its service data and its decoding.
#pragma once

#include <string>

#include "platform/variant.h"

namespace zb::bacnet {

struct TWriteProperty {
  int ObjectType = 0;
  int Instance = 0;
  int Property = 0;
  int ArrayIndex = -1;  // -1: none
  // Encoding: the application-tagged value octets that go inside [3] ... [3].
  std::string EncodedValue;
  // Decoding: one element's value (an object identifier as [type, instance], a context element
  // as its raw octets), or the list of elements when the value is constructed; Empty without [3].
  Variant Value;
  int Priority = 0;  // 1..16; 0: none
};

// [0] object, [1] property, [2] index, [3] value [3], [4] priority.
std::string EncodeWriteProperty(const TWriteProperty& request);
// The request from its tagged value list: kRejectNone, or kRejectMissingRequiredParameter when
// the object or the property is not there. An index counts only before the value.
int DecodeWriteProperty(const Variant& values, TWriteProperty& request);

}  // namespace zb::bacnet
