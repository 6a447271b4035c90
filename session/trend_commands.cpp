// GETTRENDDATA: the records of a trend log, read by position in requests of twelve.
#include <stdexcept>

#include "bacnet/app/property_id.h"
#include "bacnet/app/read_range.h"
#include "session/command_workers.h"
#include "session/point_table.h"
#include "support/strings.h"

namespace zb {

Task<TWorkerOutcome> TCommandWorkers::GetTrendData(const Variant& params) {
  TWorkerOutcome o;
  // The parameter list without its first element.
  Variant result = Variant::MakeArray(0, -1);
  if (params.IsArray())
    for (int i = params.LowBound() + 1; i <= params.HighBound(); ++i) result.Append(params[i]);
  if (result.Count() == 0) result.Append(Variant(""));
  std::string first;
  if (!result[0].IsArray() && !result[0].IsOctets()) result[0].TryToText(first);
  result[0] = Variant("");
  const std::string address = BraceGroup(first, 3);
  site_.TrendBuffer.Clear();

  std::string upper = address;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  if (upper.find("-TRN") != std::string::npos) {
    try {
      Variant values;
      std::string text;
      int count = 0;
      if (co_await Read(address, bacnet::kPropRecordCount, values) == bacnet::kResponseComplexAck &&
          AnswerItemText(values, 3, text))
        count = TextToInt(text);
      for (const auto& [index, n] : TrendRequestPlan(count)) {
        const int handle = stack_.Device.RequestReadRange(
            Variant::MakeList({Variant(address), Variant(std::to_string(bacnet::kPropLogBuffer)),
                               Variant(bacnet::EncodeByPositionRange(index, n))}));
        bacnet::TBACnetDevice::TAnswer a = co_await Answer(handle);
        if (a.Response == bacnet::kResponseComplexAck)
          DecodeTrendRecords(a.Values, site_.TrendBuffer);
      }
    } catch (const std::exception& e) {
      o.ErrorTextSet = true;
      o.ErrorText = e.what();
    } catch (...) {
      o.ErrorTextSet = true;
      o.ErrorText = "Could not read trend data.";
    }
  }
  if (site_.TrendBuffer.Count() > 0) result[0] = Variant::MakeOctets(site_.TrendBuffer.Octets());
  o.CommandResult = result;
  co_return o;
}

}  // namespace zb
