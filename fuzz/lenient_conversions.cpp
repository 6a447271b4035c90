// Lenient host-text conversions: never crash, and agree with one another on every text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/number_text.h"
#include "support/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  int32_t i = zb::TextToInt(s);
  double d = zb::TextToDouble(s);
  float f = zb::TextToSingle(s);
  bool b = zb::TextToBool(s);
  if (!std::isfinite(d) || !std::isfinite(f)) std::abort();
  if (b != (d != 0)) std::abort();
  // Every integer the lenient reader accepts is also read as that number by the real reader.
  if (i != 0 && d != static_cast<double>(i) && s.find('$') == std::string_view::npos) std::abort();

  int32_t strict = 0;
  if (zb::TryStrToInt(s, strict) && s.find(' ') == std::string_view::npos &&
      s.find('%') == std::string_view::npos && i != strict)
    std::abort();
  double real = 0;
  if (zb::TryStrToFloat(s, real) && !std::isfinite(real)) std::abort();

  (void)zb::HexToInt(s);
  (void)zb::DottedToInt(s);
  return 0;
}
