// Strict number texts, read as the platform's string-to-number routines read them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zb {

// Leading blanks, an optional sign, then decimal digits or "$" and hexadecimal digits; nothing
// after the digits. Decimal values must fit 32 bits; hexadecimal ones may use all 32 bits
// (two's complement, "$FFFFFFFF" is -1).
bool TryStrToInt(std::string_view s, int32_t& value);
// Blanks around, an optional sign, digits with an optional '.' fraction (a digit on at least
// one side) and an optional exponent; finite doubles only.
bool TryStrToFloat(std::string_view s, double& value);

// The decimal form shared by the number readers: characters of `blanks` around, an optional
// sign, digits with an optional '.' fraction (a digit on at least one side) and an optional
// exponent. On success `plain` holds the number without blanks or '+', ready for a
// locale-free conversion.
bool ScanDecimalText(std::string_view s, std::string_view blanks, std::string& plain);

// The text of a double: the shortest of up to 15 significant digits, in the "%g" layout with an
// upper-case exponent ("72.5", "0.100000001490116", "1E-05"); zero (either sign) is "0".
std::string RealToText(double value);
// The text of a single: the fewest significant digits that read back as the same single, in the
// layout of RealToText ("0.1", "1E-05", "100000"). Infinities and NaN as RealToText writes them.
std::string SingleToText(float value);

}  // namespace zb
