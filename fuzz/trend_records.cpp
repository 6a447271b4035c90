// ReadRange acknowledgements from a device, decoded into trend records.
#include "session/trend_records.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bacnet/app/tagged_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  zb::TTrendBuffer buffer;
  zb::DecodeTrendRecords(zb::bacnet::DecodeTaggedList(in), buffer);
  if (buffer.Count() > zb::kTrendBufferCapacity) __builtin_trap();
  (void)buffer.Octets();
  return 0;
}
