#include "session/param_list.h"

#include "support/number_text.h"

namespace zb {
namespace {

bool Matches(const Variant& element, std::string_view name, std::string& value) {
  std::string text = element.ToText();  // throws for arrays and octets
  if (text.size() <= name.size() || text.compare(0, name.size(), name) != 0 ||
      text[name.size()] != '=')
    return false;
  value = text.substr(name.size() + 1);
  return true;
}

}  // namespace

bool FindParam(const Variant& list, std::string_view name, std::string& value) {
  value.clear();
  if (list.IsArray()) {
    for (const Variant& element : list.Elements())
      if (Matches(element, name, value)) return true;
    return false;
  }
  return Matches(list, name, value);
}

bool FindIntParam(const Variant& list, std::string_view name, int32_t& value) {
  value = 0;
  try {
    std::string text;
    if (FindParam(list, name, text) && TryStrToInt(text, value)) return true;
  } catch (const VariantError&) {
  }
  value = 0;
  return false;
}

bool FindBoolParam(const Variant& list, std::string_view name, bool& value) {
  value = false;
  try {
    std::string text;
    if (!FindParam(list, name, text)) return false;
    value = text == "TRUE";
    return true;
  } catch (const VariantError&) {
    return false;
  }
}

bool FindRealParam(const Variant& list, std::string_view name, double& value) {
  value = 0;
  try {
    std::string text;
    if (FindParam(list, name, text) && TryStrToFloat(text, value)) return true;
  } catch (const VariantError&) {
  }
  value = 0;
  return false;
}

std::string MakeParam(std::string_view name, std::string_view value) {
  std::string r;
  r.reserve(name.size() + 1 + value.size());
  r.append(name).append("=").append(value);
  return r;
}

std::string MakeBoolParam(std::string_view name, bool flag) {
  return MakeParam(name, flag ? "TRUE" : "FALSE");
}

}  // namespace zb
