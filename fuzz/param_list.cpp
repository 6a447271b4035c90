// Parameter-list readers on arbitrary lists: elements are the input's lines; a line's first
// octet may turn it into another Variant type (integer, real, empty, octets, nested array).
// The readers must never crash, and the typed ones must never throw.
#include "session/param_list.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

zb::Variant Element(std::string_view line) {
  if (line.empty()) return zb::Variant(std::string());
  std::string rest(line.substr(1));
  switch (static_cast<unsigned char>(line[0])) {
    case 0x01:
      return zb::Variant(static_cast<int32_t>(rest.size()));
    case 0x02:
      return zb::Variant(static_cast<double>(rest.size()) / 3);
    case 0x03:
      return zb::Variant();
    case 0x04:
      return zb::Variant::MakeOctets(rest);
    case 0x05:
      return zb::Variant::MakeList({zb::Variant(rest)});
    case 0x06:
      return zb::Variant(!rest.empty());
    default:
      return zb::Variant(std::string(line));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (in.empty()) return 0;
  // First octet: the list's lower bound (signed) and whether it is a single Variant.
  int low = static_cast<int8_t>(in[0]) * 1000;
  bool single = (in[0] & 1) != 0;
  in.remove_prefix(1);
  std::vector<std::string_view> lines;
  while (!in.empty() && lines.size() < 64) {
    size_t nl = in.find('\n');
    lines.push_back(in.substr(0, nl));
    in.remove_prefix(nl == std::string_view::npos ? in.size() : nl + 1);
  }
  if (lines.empty()) return 0;
  zb::Variant list;
  if (single) {
    list = Element(lines[0]);
  } else {
    list = zb::Variant::MakeArray(low, low + static_cast<int>(lines.size()) - 1);
    for (size_t k = 0; k < lines.size(); ++k) list[low + static_cast<int>(k)] = Element(lines[k]);
  }
  // Names to look up: each line's text before "=" and a few fixed ones.
  std::vector<std::string> names = {"COMMAND", "POINT", ""};
  for (auto l : lines) names.emplace_back(l.substr(0, l.find('=')));
  for (const std::string& name : names) {
    std::string value;
    bool found = false;
    try {
      found = zb::FindParam(list, name, value);
    } catch (const zb::VariantError&) {
    }
    if (!found && !value.empty()) std::abort();
    int32_t i = 1;
    if (!zb::FindIntParam(list, name, i) && i != 0) std::abort();
    bool b = true;
    if (!zb::FindBoolParam(list, name, b) && b) std::abort();
    if (b && !(found && value == "TRUE")) std::abort();
    double d = 1;
    if (!zb::FindRealParam(list, name, d) && d != 0) std::abort();
  }
  return 0;
}
