#include "bacnet/app/tagged_list.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bacnet/app/tag_codec.h"

namespace zb::bacnet {

namespace {

// Elements are built by moving their items in (an initializer list would copy every string).
Variant Element(int kind, int tag) {
  std::vector<Variant> items;
  items.reserve(2);
  items.emplace_back(int32_t(kind));
  items.emplace_back(int32_t(tag));
  return Variant::MakeList(std::move(items));
}

Variant Element(int kind, int tag, Variant value) {
  std::vector<Variant> items;
  items.reserve(3);
  items.emplace_back(int32_t(kind));
  items.emplace_back(int32_t(tag));
  items.push_back(std::move(value));
  return Variant::MakeList(std::move(items));
}

Variant ObjectIdentifierElement(int32_t type, int32_t instance) {
  std::vector<Variant> items;
  items.reserve(4);
  items.emplace_back(int32_t(kElementApplication));
  items.emplace_back(int32_t(kAppTagObjectIdentifier));
  items.emplace_back(type);
  items.emplace_back(instance);
  return Variant::MakeList(std::move(items));
}

// A Variant array holds at most 2^24 elements; longer runs stop there, reported incomplete.
constexpr size_t kMaxListElements = size_t{1} << 24;

const Variant& Item(const Variant& element, int k) { return element.At(element.LowBound() + k); }

// Item as bytes: octet arrays as they are, everything else through the text conversion.
std::string ItemBytes(const Variant& v) { return v.IsOctets() ? v.AsTextRaw() : v.ToText(); }

// Unsigned values of 2^31 and above come back from the decoder as negative integers; a real up
// to 2^32 - 1 is accepted as well so that callers can write the full unsigned range.
uint32_t ItemUnsigned(const Variant& v) {
  int32_t i;
  if (v.TryToInt(i)) return uint32_t(i);
  double d = v.ToReal();
  d = std::nearbyint(d);
  if (!(d >= -2147483648.0 && d <= 4294967295.0)) throw VariantError("unsigned out of range");
  return d < 0 ? uint32_t(int32_t(d)) : uint32_t(d);
}

}  // namespace

int TaggedElementCount(const Variant& list) { return list.IsArray() ? list.Count() : 0; }

TTaggedElement TaggedElementAt(const Variant& list, int i) {
  TTaggedElement it;
  if (i < 0 || i >= TaggedElementCount(list)) return it;
  const Variant& e = list[list.LowBound() + i];
  if (!e.IsArray() || e.Count() < 2) return it;
  const int low = e.LowBound();
  int32_t kind = 0, tag = 0;
  if (!e[low].TryToInt(kind) || !e[low + 1].TryToInt(tag)) return it;
  it.Kind = kind;
  it.Tag = tag;
  if (e.Count() >= 3) it.Value = &e[low + 2];
  return it;
}

bool TaggedContent(const TTaggedElement& element, std::string& out) {
  if (!element.Value) return false;
  if (element.Value->IsText() || element.Value->IsOctets()) {
    out = element.Value->AsTextRaw();
    return true;
  }
  return element.Kind == kElementContext && element.Value->TryToText(out);
}

bool IsTaggedElement(const Variant& list, int at, int kind, int tag) {
  const TTaggedElement it = TaggedElementAt(list, at);
  return it.Kind == kind && it.Tag == tag;
}

int FindContextElement(const Variant& list, int tag, int from, int to) {
  for (int i = from < 0 ? 0 : from; i < to; ++i)
    if (IsTaggedElement(list, i, kElementContext, tag)) return i;
  return -1;
}

bool ContextUnsignedAt(const Variant& list, int at, int& out) {
  const TTaggedElement it = TaggedElementAt(list, at);
  std::string raw;
  if (it.Kind != kElementContext || !TaggedContent(it, raw)) return false;
  if (raw.empty() || raw.size() > 4) return false;
  out = static_cast<int>(DecodeUnsigned(raw) & 0x7FFFFFFF);
  return true;
}

bool ContextObjectAt(const Variant& list, int at, int tag, int& type, int& instance) {
  const TTaggedElement it = TaggedElementAt(list, at);
  std::string raw;
  if (it.Kind != kElementContext || it.Tag != tag || !TaggedContent(it, raw) || raw.size() != 4)
    return false;
  int32_t t = 0, i = 0;
  DecodeObjectIdentifier(raw, t, i);
  type = t;
  instance = i;
  return true;
}

Variant DecodeTaggedList(std::string_view d, bool* complete) {
  if (complete) *complete = true;
  if (d.empty()) return Variant(1);
  std::vector<Variant> items;
  const size_t n = d.size();
  // Every element takes at least one octet; answers are mostly a few elements. Eight stay
  // within the allocator's small-block cache; a larger first block costs it a slow path.
  items.reserve(std::min<size_t>(n, 8));
  size_t pos = 0;
  bool ok = true;
  auto octet = [&](size_t i) { return uint8_t(d[i]); };
  while (pos < n) {
    if (items.size() >= kMaxListElements) {
      ok = false;
      break;
    }
    uint8_t first = octet(pos++);
    int tag = first >> 4;
    bool context = (first & 0x08) != 0;
    uint32_t lvt = first & 0x07;
    if (tag == 15) {
      if (pos >= n) {
        ok = false;
        break;
      }
      tag = octet(pos++);
    }
    if (context && lvt == 6) {
      items.push_back(Element(kElementOpening, tag));
      continue;
    }
    if (context && lvt == 7) {
      items.push_back(Element(kElementClosing, tag));
      continue;
    }
    uint64_t length = lvt;
    if (lvt == 5) {
      if (pos >= n) {
        ok = false;
        break;
      }
      uint8_t ext = octet(pos++);
      size_t extra = ext == 254 ? 2 : ext == 255 ? 4 : 0;
      if (extra > n - pos) {
        ok = false;
        break;
      }
      length = extra ? 0 : ext;
      for (size_t i = 0; i < extra; ++i) length = (length << 8) | octet(pos++);
    }
    if (!context && tag == kAppTagBoolean) {  // the value is the length field; no content
      items.push_back(Element(kElementApplication, tag, length != 0));
      continue;
    }
    uint64_t take = length;
    if (!context && (tag == kAppTagDate || tag == kAppTagTime)) take = 4;
    if (take > n - pos) {
      ok = false;
      break;
    }
    std::string_view c = d.substr(pos, size_t(take));
    pos += size_t(take);
    if (context) {
      items.push_back(Element(kElementContext, tag, std::string(c)));
      continue;
    }
    switch (tag) {
      case kAppTagNull:
        items.push_back(Element(kElementApplication, tag, 0));
        break;
      case kAppTagUnsigned:
      case kAppTagEnumerated:
        items.push_back(Element(kElementApplication, tag, int32_t(DecodeUnsigned(c))));
        break;
      case kAppTagSigned:
        items.push_back(Element(kElementApplication, tag, DecodeSigned(c)));
        break;
      case kAppTagReal:
        items.push_back(Element(kElementApplication, tag, DecodeReal(c)));
        break;
      case kAppTagDouble:
        items.push_back(Element(kElementApplication, tag, DecodeDouble(c)));
        break;
      case kAppTagOctetString:
      case kAppTagDate:
      case kAppTagTime:
        items.push_back(Element(kElementApplication, tag, std::string(c)));
        break;
      case kAppTagCharacterString:
        items.push_back(
            Element(kElementApplication, tag, std::string(c.empty() ? c : c.substr(1))));
        break;
      case kAppTagBitString:
        items.push_back(Element(kElementApplication, tag, DecodeBitString(c)));
        break;
      case kAppTagObjectIdentifier: {
        int32_t type, instance;
        DecodeObjectIdentifier(c, type, instance);
        items.push_back(ObjectIdentifierElement(type, instance));
        break;
      }
      default:  // no value type: keep the position with an Empty element
        items.push_back(Variant());
        break;
    }
  }
  if (complete) *complete = ok;
  return Variant::MakeList(std::move(items));
}

std::string EncodeTaggedList(const Variant& list) {
  std::string out;
  if (!list.IsArray()) return out;
  for (const Variant& e : list.Elements()) {
    if (!e.IsArray()) continue;
    int kind = Item(e, 0).ToInt();
    int tag = Item(e, 1).ToInt();
    if (kind == kElementOpening) {
      out += EncodeOpeningTag(tag);
      continue;
    }
    if (kind == kElementClosing) {
      out += EncodeClosingTag(tag);
      continue;
    }
    if (kind == kElementContext) {
      std::string content = ItemBytes(Item(e, 2));
      out += EncodeTagHeader(kTagClassContext, tag, uint32_t(content.size()));
      out += content;
      continue;
    }
    std::string content;
    uint32_t length;
    switch (tag) {
      case kAppTagNull:
        break;
      case kAppTagBoolean:
        out += EncodeTagHeader(kTagClassApplication, tag, Item(e, 2).ToBool() ? 1 : 0);
        continue;
      case kAppTagUnsigned:
      case kAppTagEnumerated:
        content = UnsignedContent(ItemUnsigned(Item(e, 2)));
        break;
      case kAppTagSigned:
        content = SignedContent(Item(e, 2).ToInt());
        break;
      case kAppTagReal:
        out += EncodeReal(kTagClassApplication, tag, Item(e, 2).ToReal());
        continue;
      case kAppTagDouble:
        out += EncodeDouble(kTagClassApplication, tag, Item(e, 2).ToReal());
        continue;
      case kAppTagOctetString:
        content = ItemBytes(Item(e, 2));
        break;
      case kAppTagCharacterString:
        content = std::string(1, '\0') + ItemBytes(Item(e, 2));
        break;
      case kAppTagBitString:
        content = BitStringContent(ItemBytes(Item(e, 2)));
        break;
      case kAppTagDate:
      case kAppTagTime:
        content = ItemBytes(Item(e, 2));
        if (content.size() != 4) content.clear();
        break;
      case kAppTagObjectIdentifier:
        out += EncodeObjectIdentifier(kTagClassApplication, tag, uint32_t(Item(e, 2).ToInt()),
                                      uint32_t(Item(e, 3).ToInt()));
        continue;
      default:
        break;
    }
    length = uint32_t(content.size());
    out += EncodeTagHeader(kTagClassApplication, tag, length);
    out += content;
  }
  return out;
}

bool TryEncodeTaggedList(const Variant& list, std::string& out) {
  try {
    out = EncodeTaggedList(list);
    return true;
  } catch (const std::exception&) {
    out.clear();
    return false;
  }
}

std::string FindTaggedValue(const Variant& list, int kind, int tagNumber, std::string_view path,
                            int& index) {
  int start = index;
  index = -1;
  if (!list.IsArray()) return "";
  std::string current;
  for (int i = start < list.LowBound() ? list.LowBound() : start; i <= list.HighBound(); ++i) {
    const Variant& e = list.At(i);
    if (!e.IsArray() || e.Count() < 2) continue;
    int32_t k, t;
    if (!Item(e, 0).TryToInt(k) || !Item(e, 1).TryToInt(t)) continue;
    if (current == path) {
      if (k == kind && t == tagNumber) {
        index = i;
        std::string text;
        if (e.Count() > 2) {
          const Variant& v = Item(e, 2);
          if (v.IsOctets())
            text = v.AsTextRaw();
          else if (!v.TryToText(text))
            text.clear();
        }
        return text;
      }
    } else if (k == kElementOpening) {
      current.push_back(char(t));
    } else if (k == kElementClosing && !current.empty() && current.back() == char(t)) {
      current.pop_back();
    }
  }
  return "";
}

std::string FindTaggedValue(const Variant& list, int kind, int tagNumber, std::string_view path) {
  int index = 0;
  return FindTaggedValue(list, kind, tagNumber, path, index);
}

}  // namespace zb::bacnet
