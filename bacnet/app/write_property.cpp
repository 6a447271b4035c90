#include "bacnet/app/write_property.h"

#include <vector>

#include "bacnet/app/read_property.h"
#include "bacnet/app/service_errors.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

std::string EncodeWriteProperty(const TWriteProperty& w) {
  std::string out = EncodeObjectPropertyHead(w.ObjectType, w.Instance, w.Property);
  if (w.ArrayIndex >= 0)
    out += EncodeUnsigned(kTagClassContext, 2, static_cast<uint32_t>(w.ArrayIndex));
  out += EncodeOpeningTag(3) + w.EncodedValue + EncodeClosingTag(3);
  if (w.Priority > 0) out += EncodeUnsigned(kTagClassContext, 4, static_cast<uint32_t>(w.Priority));
  return out;
}

namespace {

Variant WrittenValue(const Variant& list) {
  const int n = TaggedElementCount(list);
  int open = -1;
  for (int i = 0; i < n; ++i)
    if (IsTaggedElement(list, i, kElementOpening, 3)) {
      open = i;
      break;
    }
  if (open < 0) return Variant();
  std::vector<Variant> inner;
  int depth = 0;
  for (int i = open + 1; i < n; ++i) {
    const TTaggedElement it = TaggedElementAt(list, i);
    if (it.Kind == kElementOpening) ++depth;
    if (it.Kind == kElementClosing) {
      if (depth == 0) break;
      --depth;
    }
    inner.push_back(list[list.LowBound() + i]);
  }
  if (inner.size() != 1) return Variant::MakeList(std::move(inner));
  const Variant& e = inner[0];
  if (!e.IsArray() || e.Count() < 3) return e;
  const int low = e.LowBound();
  int32_t kind = 0, tag = 0;
  e[low].TryToInt(kind);
  e[low + 1].TryToInt(tag);
  if (kind == kElementApplication && tag == kAppTagObjectIdentifier && e.Count() >= 4)
    return Variant::MakeList({e[low + 2], e[low + 3]});
  return e[low + 2];
}

}  // namespace

int DecodeWriteProperty(const Variant& list, TWriteProperty& w) {
  w = TWriteProperty{};
  const int n = TaggedElementCount(list);
  if (!list.IsArray() ||
      !ContextObjectAt(list, FindContextElement(list, 0, 0, n), 0, w.ObjectType, w.Instance) ||
      !ContextUnsignedAt(list, FindContextElement(list, 1, 0, n), w.Property))
    return kRejectMissingRequiredParameter;
  int open = 0;
  while (open < n && TaggedElementAt(list, open).Kind != kElementOpening) ++open;
  if (!ContextUnsignedAt(list, FindContextElement(list, 2, 0, open), w.ArrayIndex))
    w.ArrayIndex = -1;
  w.Value = WrittenValue(list);
  // The priority ends the request; a context 4 inside the value is not one.
  if (!IsTaggedElement(list, n - 1, kElementContext, 4) ||
      !ContextUnsignedAt(list, n - 1, w.Priority))
    w.Priority = 0;
  return kRejectNone;
}

}  // namespace zb::bacnet
