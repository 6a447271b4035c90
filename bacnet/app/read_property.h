// ReadProperty: the request record, its service data and decoding, and the acknowledgement.
#pragma once

#include <cstdint>
#include <string>

#include "platform/variant.h"

namespace zb::bacnet {

struct TReadProperty {
  int ObjectType = 0;
  int Instance = 0;
  int Property = 0;
  int ArrayIndex = -1;  // -1: none
};

// [0] object, [1] property: the head every property service starts with.
std::string EncodeObjectPropertyHead(int objectType, int instance, int property);

// [0] object, [1] property, [2] index when there is one.
std::string EncodeReadProperty(const TReadProperty& request);
// The request from its tagged value list: kRejectNone, or the reason to reject it with.
int DecodeReadProperty(const Variant& values, TReadProperty& request);

// [1] property, [2] index when there is one, [3] value [3]: the acknowledgement after its object.
std::string EncodeReadPropertyResult(int property, int arrayIndex, const std::string& value);
// The whole acknowledgement: [0] object, then the result.
std::string EncodeReadPropertyAck(const TReadProperty& request, const std::string& value);

}  // namespace zb::bacnet
