// The tagged value list: a run of BACnet tagged data as a zero-based Variant array with one element
// per tag, each element itself a zero-based array whose first item is the element kind:
//   [1, application tag, value]   ([1, 12, object type, instance] for an object identifier)
//   [2, context tag, raw content octets]
//   [3, tag]  opening tag          [4, tag]  closing tag
// Callers index the items by position.
#pragma once

#include <string>
#include <string_view>

#include "platform/variant.h"

namespace zb::bacnet {

enum : int {
  kElementApplication = 1,
  kElementContext = 2,
  kElementOpening = 3,
  kElementClosing = 4,
};

// Decodes a run of tagged data. An empty input gives the integer 1 (not an array).
//
// The decoder never reads past its input: a tag header or content that runs past the end ends
// decoding there, the elements decoded before it are kept, and `complete` (when given) is set to
// false. Application tags 13..15 have no value type: their content is skipped by its length and
// an Empty element keeps their place. Unsigned, enumerated and signed contents longer than four
// octets keep their low 32 bits; a real shorter than 4 or a double shorter than 8 octets reads as
// 0. Date and time always take four octets, whatever the length says.
Variant DecodeTaggedList(std::string_view data, bool* complete = nullptr);

// Encodes a list built by a caller (or decoded). Not an array: empty result. Elements that are
// not arrays (the decoder's placeholders) are skipped. Items are converted with the Variant
// conversions; an item that does not convert throws VariantError.
//
// A context element is written with its content (item 2 as bytes) and that length, so that a
// decoded list encodes back to the same octets.
std::string EncodeTaggedList(const Variant& list);
// The same, reporting a conversion failure as false instead of throwing.
bool TryEncodeTaggedList(const Variant& list, std::string& out);

// The value (item 2, as text) of the first element of the given kind and tag number under `path`
// (the tag numbers of the enclosing opening tags, outermost first, one character each), or "".
// An empty path matches at any depth.
std::string FindTaggedValue(const Variant& list, int kind, int tagNumber, std::string_view path);
// Inner form: starts at `index` and leaves there the index of the element found, or -1.
std::string FindTaggedValue(const Variant& list, int kind, int tagNumber, std::string_view path,
                            int& index);

}  // namespace zb::bacnet
