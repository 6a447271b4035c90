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

// One element of a list as its kind, tag and value (item 2). Kind 0 stands for a position that
// holds no well-formed element.
struct TTaggedElement {
  int Kind = 0;
  int Tag = -1;
  const Variant* Value = nullptr;  // item 2, when present
};

// The number of elements of a list; 0 for anything that is not a list.
int TaggedElementCount(const Variant& list);
// Element `i` (from 0) of the list; Kind 0 outside the list or for a malformed element.
TTaggedElement TaggedElementAt(const Variant& list, int i);
// The raw content octets of a context element (or of an octet, date or time element); false when
// the element has none.
bool TaggedContent(const TTaggedElement& element, std::string& out);

// Whether element `at` is of that kind and tag; false outside the list.
bool IsTaggedElement(const Variant& list, int at, int kind, int tag);
// Index of the first context element with that tag at or after `from` and before `to`; -1.
int FindContextElement(const Variant& list, int tag, int from, int to);
// Element `at` as a context element whose content is an unsigned of one to four octets, kept to
// its low 31 bits; false otherwise.
bool ContextUnsignedAt(const Variant& list, int at, int& out);
// Element `at` as a context element with that tag holding a four-octet object identifier.
bool ContextObjectAt(const Variant& list, int at, int tag, int& type, int& instance);

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
