// Service data from the network read by every per-service decoder: a record a decoder accepts
// encodes to octets that decode to the same record, and nothing reads outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "bacnet/app/acknowledge_alarm.h"
#include "bacnet/app/read_property.h"
#include "bacnet/app/read_property_multiple.h"
#include "bacnet/app/read_range.h"
#include "bacnet/app/service_errors.h"
#include "bacnet/app/tagged_list.h"
#include "bacnet/app/who_is_i_am.h"
#include "bacnet/app/write_property.h"

namespace {

using namespace zb::bacnet;

void ReadProperty(const zb::Variant& list) {
  TReadProperty r, back;
  if (DecodeReadProperty(list, r) != kRejectNone) return;
  if (DecodeReadProperty(DecodeTaggedList(EncodeReadProperty(r)), back) != kRejectNone ||
      back.ObjectType != r.ObjectType || back.Instance != r.Instance ||
      back.Property != r.Property || back.ArrayIndex != r.ArrayIndex)
    std::abort();
}

void ReadPropertyMultiple(const zb::Variant& list) {
  std::vector<TReadAccessSpec> specs, back;
  const int reason = DecodeReadPropertyMultiple(list, specs);
  // What a refused request leaves behind stays within what it held.
  if (specs.size() > static_cast<size_t>(TaggedElementCount(list))) std::abort();
  if (reason != kRejectNone) return;
  if (DecodeReadPropertyMultiple(DecodeTaggedList(EncodeReadPropertyMultiple(specs)), back) !=
          kRejectNone ||
      back.size() != specs.size())
    std::abort();
  for (size_t i = 0; i < specs.size(); ++i) {
    if (back[i].Instance != specs[i].Instance ||
        back[i].Properties.size() != specs[i].Properties.size())
      std::abort();
    for (size_t j = 0; j < specs[i].Properties.size(); ++j)
      if (back[i].Properties[j].Property != specs[i].Properties[j].Property ||
          back[i].Properties[j].ArrayIndex != specs[i].Properties[j].ArrayIndex)
        std::abort();
  }
}

void WhoIsIAm(const zb::Variant& list) {
  TWhoIs w, wb;
  if (DecodeWhoIs(list, w) && (!DecodeWhoIs(DecodeTaggedList(EncodeWhoIs(w)), wb) ||
                               wb.HasRange != w.HasRange || wb.Low != w.Low || wb.High != w.High))
    std::abort();
  TIAm a, ab;
  if (DecodeIAm(list, a) && !DecodeIAm(DecodeTaggedList(EncodeIAm(a)), ab)) std::abort();
}

void AcknowledgeAlarm(const zb::Variant& list) {
  TAcknowledgeAlarm r, back;
  if (!DecodeAcknowledgeAlarm(list, r)) return;
  if (!DecodeAcknowledgeAlarm(DecodeTaggedList(EncodeAcknowledgeAlarm(r)), back) ||
      back.ProcessIdentifier != r.ProcessIdentifier || back.EventInstance != r.EventInstance ||
      back.ToState != r.ToState || back.TimeStamp != r.TimeStamp || back.UserName != r.UserName ||
      back.AckTimeStamp != r.AckTimeStamp)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const zb::Variant list = DecodeTaggedList(in);
  ReadProperty(list);
  ReadPropertyMultiple(list);
  WhoIsIAm(list);
  AcknowledgeAlarm(list);
  TWriteProperty w;
  DecodeWriteProperty(list, w);
  if (DecodeLogRecords(list).size() > static_cast<size_t>(TaggedElementCount(list))) std::abort();
  return 0;
}
