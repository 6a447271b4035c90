// Tagged value list decoder on arbitrary octets: never out of bounds; a prefix decodes to a prefix
// of the elements; a complete list re-encodes stably, and to the very same octets when the input
// was in the canonical form the encoder writes.
#include "bacnet/app/tagged_list.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/variant.h"

using namespace zb;
using namespace zb::bacnet;

namespace {

// An independent walk over the octets: true when every tag is complete and written exactly as
// the encoder writes it (shortest header, length and content).
bool Canonical(std::string_view x) {
  size_t p = 0, n = x.size();
  auto at = [&](size_t i) { return uint8_t(x[i]); };
  while (p < n) {
    uint8_t b = at(p++);
    unsigned tag = b >> 4, lvt = b & 7;
    bool ctx = b & 8;
    if (tag == 15) {
      if (p >= n) return false;
      tag = at(p++);
      if (tag < 15) return false;
    }
    if (ctx && (lvt == 6 || lvt == 7)) continue;
    uint64_t len = lvt;
    if (lvt == 5) {
      if (p >= n) return false;
      uint8_t e = at(p++);
      if (e < 254) {
        len = e;
        if (len < 5) return false;
      } else {
        size_t k = e == 254 ? 2 : 4;
        if (n - p < k) return false;
        len = 0;
        for (size_t i = 0; i < k; ++i) len = len << 8 | at(p++);
        if (len < (k == 2 ? 254u : 65536u)) return false;
      }
    } else if (lvt > 5) {
      return false;  // application lengths 6 and 7 are written with a length octet
    }
    if (!ctx && tag == 1) {
      if (len > 1) return false;
      continue;
    }
    if (len > n - p) return false;
    std::string_view c = x.substr(p, size_t(len));
    p += size_t(len);
    if (ctx) continue;
    auto u = [&](size_t i) { return uint8_t(c[i]); };
    switch (tag) {
      case 0:
        if (len != 0) return false;
        break;
      case 2:
      case 9:
        if (len < 1 || len > 4 || (len > 1 && u(0) == 0)) return false;
        break;
      case 3:
        if (len < 1 || len > 4) return false;
        if (len > 1 && ((u(0) == 0 && !(u(1) & 0x80)) || (u(0) == 0xFF && (u(1) & 0x80))))
          return false;
        break;
      case 4:
        if (len != 4) return false;
        if (std::isnan(std::bit_cast<float>(uint32_t(u(0) << 24 | u(1) << 16 | u(2) << 8 | u(3)))))
          return false;
        break;
      case 5: {
        if (len != 8) return false;
        uint64_t v = 0;
        for (size_t i = 0; i < 8; ++i) v = v << 8 | u(i);
        if (std::isnan(std::bit_cast<double>(v))) return false;
        break;
      }
      case 6:
        break;
      case 7:
        if (len < 1 || u(0) != 0) return false;
        break;
      case 8:
        if (len == 1) return false;
        if (len >= 2) {
          unsigned unused = u(0);
          if (unused > 7 || (u(len - 1) & ((1u << unused) - 1)) != 0) return false;
        }
        break;
      case 10:
      case 11:
      case 12:
        if (len != 4) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view x(reinterpret_cast<const char*>(data), size);
  bool complete = false;
  Variant list = DecodeTaggedList(x, &complete);
  if (size == 0) {
    if (list.IsArray() || !complete) std::abort();
    return 0;
  }
  if (!list.IsArray()) std::abort();
  std::string encoded;
  if (!TryEncodeTaggedList(list, encoded)) std::abort();  // decoded items always convert

  // A prefix of the input decodes to a prefix of the elements.
  size_t cut = size > 1 ? data[0] % size : 0;
  std::string prefixEncoded;
  if (!TryEncodeTaggedList(DecodeTaggedList(x.substr(0, cut)), prefixEncoded)) std::abort();
  if (encoded.compare(0, prefixEncoded.size(), prefixEncoded) != 0) std::abort();

  if (complete) {
    if (Canonical(x) && encoded != x) std::abort();
    bool again = false;
    std::string twice;
    if (!TryEncodeTaggedList(DecodeTaggedList(encoded, &again), twice)) std::abort();
    if (!again || twice != encoded) std::abort();
  }

  // Searches stay inside the list.
  int index = data[0] % 8;
  std::string path(x.substr(1, size_t(data[0] & 3)));
  (void)FindTaggedValue(list, 1 + (data[0] >> 6), data[0] & 15, path, index);
  if (index < -1 || index >= list.Count()) std::abort();
  return 0;
}
