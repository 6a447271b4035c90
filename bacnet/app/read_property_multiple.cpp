#include "bacnet/app/read_property_multiple.h"

#include "bacnet/app/service_errors.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

std::string EncodeReadPropertyMultiple(const std::vector<TReadAccessSpec>& specs) {
  std::string out;
  for (const TReadAccessSpec& s : specs) {
    out += EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(s.ObjectType),
                                  static_cast<uint32_t>(s.Instance));
    out += EncodeOpeningTag(1);
    for (const TPropertyReference& p : s.Properties) {
      out += EncodeUnsigned(kTagClassContext, 0, static_cast<uint32_t>(p.Property));
      if (p.ArrayIndex >= 0)
        out += EncodeUnsigned(kTagClassContext, 1, static_cast<uint32_t>(p.ArrayIndex));
    }
    out += EncodeClosingTag(1);
  }
  return out;
}

int DecodeReadPropertyMultiple(const Variant& list, std::vector<TReadAccessSpec>& specs) {
  specs.clear();
  const int n = TaggedElementCount(list);
  if (n == 0) return kRejectMissingRequiredParameter;
  int i = 0;
  while (i < n) {
    TReadAccessSpec spec;
    if (!ContextObjectAt(list, i, 0, spec.ObjectType, spec.Instance) ||
        !IsTaggedElement(list, i + 1, kElementOpening, 1))
      return kRejectInvalidTag;
    i += 2;
    specs.push_back(std::move(spec));
    std::vector<TPropertyReference>& refs = specs.back().Properties;
    while (i < n && !IsTaggedElement(list, i, kElementClosing, 1)) {
      TPropertyReference ref;
      if (!IsTaggedElement(list, i, kElementContext, 0) ||
          !ContextUnsignedAt(list, i, ref.Property))
        return kRejectInvalidTag;
      ++i;
      if (IsTaggedElement(list, i, kElementContext, 1)) {
        if (!ContextUnsignedAt(list, i, ref.ArrayIndex)) return kRejectInvalidTag;
        ++i;
      }
      refs.push_back(ref);
    }
    if (i >= n) return kRejectInvalidTag;
    if (refs.empty()) return kRejectMissingRequiredParameter;
    ++i;  // the closing tag
  }
  return kRejectNone;
}

std::string EncodeReadAccessResultHead(int objectType, int instance) {
  return EncodeObjectIdentifier(kTagClassContext, 0, static_cast<uint32_t>(objectType),
                                static_cast<uint32_t>(instance)) +
         EncodeOpeningTag(1);
}

std::string EncodeReadAccessResultTail() { return EncodeClosingTag(1); }

namespace {

std::string EntryHead(int property, int arrayIndex) {
  std::string out = EncodeUnsigned(kTagClassContext, 2, static_cast<uint32_t>(property));
  if (arrayIndex >= 0)
    out += EncodeUnsigned(kTagClassContext, 3, static_cast<uint32_t>(arrayIndex));
  return out;
}

}  // namespace

std::string EncodeReadResultValue(int property, int arrayIndex, const std::string& value) {
  return EntryHead(property, arrayIndex) + EncodeOpeningTag(4) + value + EncodeClosingTag(4);
}

std::string EncodeReadResultError(int property, int arrayIndex, int errorClass, int errorCode) {
  return EntryHead(property, arrayIndex) + EncodeOpeningTag(5) +
         EncodeEnumerated(kTagClassApplication, 0, static_cast<uint32_t>(errorClass)) +
         EncodeEnumerated(kTagClassApplication, 0, static_cast<uint32_t>(errorCode)) +
         EncodeClosingTag(5);
}

}  // namespace zb::bacnet
