#include "bacnet/app/read_property.h"

#include "bacnet/app/service_errors.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

std::string EncodeObjectPropertyHead(int objectType, int instance, int property) {
  return EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(objectType),
                                static_cast<uint32_t>(instance)) +
         EncodeUnsigned(kTagClassContext, 1, static_cast<uint32_t>(property));
}

std::string EncodeReadProperty(const TReadProperty& r) {
  std::string out = EncodeObjectPropertyHead(r.ObjectType, r.Instance, r.Property);
  if (r.ArrayIndex >= 0)
    out += EncodeUnsigned(kTagClassContext, 2, static_cast<uint32_t>(r.ArrayIndex));
  return out;
}

int DecodeReadProperty(const Variant& list, TReadProperty& r) {
  r = TReadProperty{};
  const int n = TaggedElementCount(list);
  if (!ContextObjectAt(list, 0, 0, r.ObjectType, r.Instance) ||
      !IsTaggedElement(list, 1, kElementContext, 1) || !ContextUnsignedAt(list, 1, r.Property))
    return n < 2 ? kRejectMissingRequiredParameter : kRejectInvalidTag;
  if (n > 2 &&
      !(IsTaggedElement(list, 2, kElementContext, 2) && ContextUnsignedAt(list, 2, r.ArrayIndex)))
    return kRejectInvalidTag;
  if (n > 3) return kRejectTooManyArguments;
  return kRejectNone;
}

std::string EncodeReadPropertyResult(int property, int arrayIndex, const std::string& value) {
  std::string out = EncodeUnsigned(kTagClassContext, 1, static_cast<uint32_t>(property));
  if (arrayIndex >= 0)
    out += EncodeUnsigned(kTagClassContext, 2, static_cast<uint32_t>(arrayIndex));
  return out + EncodeOpeningTag(3) + value + EncodeClosingTag(3);
}

std::string EncodeReadPropertyAck(const TReadProperty& r, const std::string& value) {
  return EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(r.ObjectType),
                                static_cast<uint32_t>(r.Instance)) +
         EncodeReadPropertyResult(r.Property, r.ArrayIndex, value);
}

}  // namespace zb::bacnet
