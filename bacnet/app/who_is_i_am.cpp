#include "bacnet/app/who_is_i_am.h"

#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

std::string EncodeWhoIs(const TWhoIs& w) {
  if (!w.HasRange) return {};
  return EncodeUnsigned(kTagClassContext, 0, static_cast<uint32_t>(w.Low)) +
         EncodeUnsigned(kTagClassContext, 1, static_cast<uint32_t>(w.High));
}

bool DecodeWhoIs(const Variant& values, TWhoIs& w) {
  w = TWhoIs{};
  const int n = TaggedElementCount(values);
  if (n == 0) return true;
  if (n != 2 || !IsTaggedElement(values, 0, kElementContext, 0) ||
      !IsTaggedElement(values, 1, kElementContext, 1) || !ContextUnsignedAt(values, 0, w.Low) ||
      !ContextUnsignedAt(values, 1, w.High))
    return false;
  w.HasRange = true;
  return true;
}

bool WhoIsIncludes(const TWhoIs& w, int instance) {
  return !w.HasRange || (w.Low <= instance && instance <= w.High);
}

std::string EncodeIAm(const TIAm& a) {
  const int c = kTagClassApplication;
  return EncodeObjectIdentifier(c, 0, static_cast<uint32_t>(a.ObjectType),
                                static_cast<uint32_t>(a.Instance)) +
         EncodeUnsigned(c, 0, static_cast<uint32_t>(a.MaxAPDU)) +
         EncodeEnumerated(c, 0, static_cast<uint32_t>(a.Segmentation)) +
         EncodeUnsigned(c, 0, static_cast<uint32_t>(a.Vendor));
}

bool DecodeIAm(const Variant& v, TIAm& a) {
  a = TIAm{};
  if (!v.IsArray() || v.Count() != 4) return false;
  try {
    const int low = v.LowBound();
    const Variant& id = v[low];
    if (!id.IsArray() || id.Count() < 4) return false;
    const int il = id.LowBound();
    auto value = [](const Variant& item, int32_t& out) {
      if (!item.IsArray() || item.Count() < 3) return false;
      return item[item.LowBound() + 2].TryToInt(out);
    };
    TIAm r;
    if (!id[il + 2].TryToInt(r.ObjectType) || !id[il + 3].TryToInt(r.Instance)) return false;
    if (!value(v[low + 1], r.MaxAPDU) || !value(v[low + 2], r.Segmentation) ||
        !value(v[low + 3], r.Vendor))
      return false;
    a = r;
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace zb::bacnet
