// ReadPropertyMultiple: the read-access specifications, their service data and decoding, and the
// pieces of the acknowledgement (one read-access result per specification).
#pragma once

#include <string>
#include <vector>

#include "platform/variant.h"

namespace zb::bacnet {

struct TPropertyReference {
  int Property = 0;
  int ArrayIndex = -1;  // -1: none
};

struct TReadAccessSpec {
  int ObjectType = 0;
  int Instance = 0;
  std::vector<TPropertyReference> Properties;
};

// Every read access: [0] object, [1] { [0] property, [1] index ... } [1].
std::string EncodeReadPropertyMultiple(const std::vector<TReadAccessSpec>& specs);
// The read accesses from the request's tagged value list: kRejectNone, or the reason to reject
// it with. On a reject `specs` still holds what came before the fault, the read access it
// happened in last, so that an answerer can treat the request exactly as far as it went.
int DecodeReadPropertyMultiple(const Variant& values, std::vector<TReadAccessSpec>& specs);

// A read-access result: [0] object, [1] {, the entries, } [1].
std::string EncodeReadAccessResultHead(int objectType, int instance);
std::string EncodeReadAccessResultTail();
// One entry: [2] property, [3] index when there is one, then [4] value [4].
std::string EncodeReadResultValue(int property, int arrayIndex, const std::string& value);
// The same with [5] error class, error code [5] in place of the value.
std::string EncodeReadResultError(int property, int arrayIndex, int errorClass, int errorCode);

}  // namespace zb::bacnet
