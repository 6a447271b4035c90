// Parameter lists: a Variant holding NAME=value texts, either a one-dimensional array with any
// bounds or a single Variant counting as a list of one. Names compare case-sensitively; the
// first element whose text starts with NAME "=" wins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/variant.h"

namespace zb {

// Found flag and the text after "=" (empty when not found). An element met on the way that
// does not convert to text throws VariantError; the typed readers below swallow it.
bool FindParam(const Variant& list, std::string_view name, std::string& value);
// A strict 32-bit integer text (see TryStrToInt); otherwise not found with 0.
bool FindIntParam(const Variant& list, std::string_view name, int32_t& value);
// Found when the name is present; true only for the exact value "TRUE".
bool FindBoolParam(const Variant& list, std::string_view name, bool& value);
// A strict floating-point text with '.' as decimal separator; otherwise not found with 0.0.
bool FindRealParam(const Variant& list, std::string_view name, double& value);

std::string MakeParam(std::string_view name, std::string_view value);  // NAME=value
std::string MakeBoolParam(std::string_view name, bool flag);           // NAME=TRUE / NAME=FALSE

}  // namespace zb
