#include "session/point_table.h"

#include <cctype>

#include "bacnet/app/point_address.h"
#include "bacnet/app/property_id.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "session/param_list.h"
#include "support/number_text.h"

namespace zb {

namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool StartsWithUpper(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  return SameText(s.substr(0, prefix.size()), prefix);
}

}  // namespace

int TPointTable::IndexOf(std::string_view address) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (SameText(entries_[i].first, address)) return static_cast<int>(i);
  return -1;
}

TPointData* TPointTable::Find(std::string_view address) {
  int i = IndexOf(address);
  return i < 0 ? nullptr : entries_[size_t(i)].second.get();
}

bool TPointTable::Add(std::string address, const TPointData& data) {
  if (IndexOf(address) >= 0) return false;
  entries_.emplace_back(std::move(address), std::make_unique<TPointData>(data));
  return true;
}

std::string BraceGroup(std::string_view text, int n) {
  size_t pos = 0;
  for (int k = 1; k <= n; ++k) {
    size_t open = text.find('{', pos);
    if (open == std::string_view::npos) return {};
    size_t close = text.find('}', open + 1);
    if (close == std::string_view::npos) return {};
    if (k == n) return std::string(text.substr(open + 1, close - open - 1));
    pos = close + 1;
  }
  return {};
}

bool AnswerItemText(const Variant& values, int element, std::string& text, int item) {
  text.clear();
  if (element < 0 || element >= bacnet::TaggedElementCount(values)) return false;
  const Variant& e = values[values.LowBound() + element];
  if (!e.IsArray() || item < 0 || item >= e.Count()) return false;
  const Variant& v = e[e.LowBound() + item];
  if (v.IsArray() || v.IsOctets()) return false;
  // A REAL holds a single: widened digits such as 0.100000001490116 are not what the device has.
  const bacnet::TTaggedElement tagged = bacnet::TaggedElementAt(values, element);
  if (item == 2 && v.type() == Variant::Type::Real && tagged.Kind == bacnet::kElementApplication &&
      tagged.Tag == bacnet::kAppTagReal) {
    text = SingleToText(static_cast<float>(v.AsRealRaw()));
    return true;
  }
  return v.TryToText(text);
}

int ScanTimeoutTicks(int apduTimeoutMs, int retries) {
  if (apduTimeoutMs < 100) apduTimeoutMs = 100;
  if (retries < 0) retries = 0;
  return apduTimeoutMs / 100 * (retries + 1) + 10;
}

bool TPointCache::InstallPointList(const Variant& params, std::vector<std::string>& pointNames) {
  pointNames.clear();
  try {
    for (int i = 0;; ++i) {
      std::string value;
      if (!FindParam(params, "POINT" + std::to_string(i), value) || value.empty()) break;
      pointNames.push_back(std::move(value));
    }
  } catch (...) {
    return false;
  }
  TPointTable fresh;
  for (const std::string& name : pointNames) {
    std::string address = BraceGroup(name, 2);
    if (address.empty() || fresh.IndexOf(address) >= 0) continue;
    TPointData data;
    if (const TPointData* old = PointTable.Find(address)) data = *old;
    fresh.Add(std::move(address), data);
  }
  PointTable = std::move(fresh);
  PointsReplaced = true;
  return true;
}

void TPointCache::StorePointValue(std::string_view address, std::string value) {
  if (PointsReplaced) return;
  TPointData* data = PointTable.Find(address);
  if (!data) return;
  if (StartsWithUpper(value, "ON")) value = "TRUE";
  if (StartsWithUpper(value, "OFF")) value = "FALSE";
  data->Value = std::move(value);
  data->HasValue = true;
  data->ErrorCount = 0;
}

void TPointCache::ScanStep(bool offline, const TRequestRead& requestRead, int timeoutTicks) {
  if (offline) return;
  if (PointsReplaced || PointTable.Empty()) {
    PointsReplaced = false;
    ScanWait = 0;
    ScanState = 901;
    ScanIndex = -1;
    ScanHandle = -1;
  }
  switch (ScanState) {
    case 0:
      if (!PointTable.Empty()) ScanState = 1;
      break;
    case 1: {
      ++ScanIndex;
      if (ScanIndex >= PointTable.Count() || ScanIndex < 0) ScanIndex = 0;
      TPointData& data = PointTable.Data(ScanIndex);
      if (data.ErrorCount > 2) break;  // dropped from the scan; the next step moves on
      const std::string& text = PointTable.Address(ScanIndex);
      bacnet::TBACnetPointAddress address;
      bacnet::ParsePointAddress(text, address);
      int property = address.PropertyID == -1 ? bacnet::kPropPresentValue : address.PropertyID;
      int handle = -1;
      try {
        handle =
            requestRead
                ? requestRead(Variant::MakeList({Variant(text), Variant(std::to_string(property))}))
                : -1;
      } catch (...) {
        handle = -1;
      }
      if (handle == -1) {
        ScanAnswered = true;
        ++data.ErrorCount;
        ScanState = 0;
      } else {
        ScanAnswered = false;
        ScanHandle = handle;
        ScanState = 2;
        ScanTicks = 0;
      }
      break;
    }
    case 2:
      if (ScanAnswered) {
        if (ScanIndex + 1 < PointTable.Count()) {
          ScanState = 1;
        } else {
          ScanWait = 20;
          ScanState = 901;
        }
      } else if (++ScanTicks > timeoutTicks) {
        ScanWait = 10;
        ScanState = 901;
      }
      break;
    case 901:
      ScanAnswered = true;
      if (ScanWait <= 0)
        ScanState = 0;
      else
        --ScanWait;
      break;
    default:
      ScanState = 0;
      break;
  }
}

void TPointCache::HandleScanResponse(int handle, int response, const Variant& data) {
  if (PointsReplaced || handle != ScanHandle) return;
  ScanAnswered = true;
  if (ScanIndex < 0 || ScanIndex >= PointTable.Count()) return;
  TPointData& entry = PointTable.Data(ScanIndex);
  std::string text;
  // An acknowledgement without a value element counts as a failed read.
  if (response == 3 && AnswerItemText(data, 3, text)) {
    StorePointValue(PointTable.Address(ScanIndex), text);
    entry.ErrorCount = 0;
  } else {
    ++entry.ErrorCount;
  }
}

}  // namespace zb
