// The session's point table (the points the host wants kept fresh, keyed by point address text
// without regard to case) and the background scan that reads them one after the other while no
// command runs. The scan never waits: it sends one read and looks for its answer on later ticks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/variant.h"

namespace zb {

struct TPointData {
  std::string Value;       // last value read or written, as text
  bool HasValue = false;   // Value holds a read or written value
  int32_t ErrorCount = 0;  // consecutive failed reads; above 2 the point is no longer scanned
};

// Ordered (insertion order) list of (address text, owned TPointData); lookups ignore case.
class TPointTable {
 public:
  int Count() const { return static_cast<int>(entries_.size()); }
  bool Empty() const { return entries_.empty(); }
  const std::string& Address(int i) const { return entries_.at(size_t(i)).first; }
  TPointData& Data(int i) { return *entries_.at(size_t(i)).second; }
  const TPointData& Data(int i) const { return *entries_.at(size_t(i)).second; }
  int IndexOf(std::string_view address) const;  // -1 when absent
  TPointData* Find(std::string_view address);
  // false (and nothing added) when the address is already present.
  bool Add(std::string address, const TPointData& data = {});
  void Clear() { entries_.clear(); }

 private:
  std::vector<std::pair<std::string, std::unique_ptr<TPointData>>> entries_;
};

// Brace group n (from 1) of a text such as {a}{b}{c}{d}: each group runs from the first "{"
// after the end of the previous group to the next "}". Empty when there is no such group.
std::string BraceGroup(std::string_view text, int n);

// The text of item 2 of element `element` of a read answer's tagged value list; false when the
// answer has no such element or item, or the item does not convert to text. A REAL value is
// written as the shortest text that reads back as the same single.
bool AnswerItemText(const Variant& values, int element, std::string& text, int item = 2);

// Ticks the scan waits for one answer before it gives the read up. The answer normally comes
// much earlier (the device reports every failed transaction), so this only guards against a
// report that never comes: the whole life of a transaction plus one second.
int ScanTimeoutTicks(int apduTimeoutMs, int retries);

// The point table with its scan state; the session owns one.
class TPointCache {
 public:
  TPointTable PointTable;
  bool PointsReplaced = false;
  int ScanState = 0;  // 0, 1, 2 or 901
  int ScanWait = 0;
  int ScanTicks = 0;
  int ScanIndex = -1;
  int ScanHandle = -1;
  bool ScanAnswered = false;

  // SENDPOINTSLIST: pointNames is cleared and refilled with POINT0, POINT1, ... (up to the first
  // missing or empty one), then the table is rebuilt from their address groups, keeping the
  // value, HasValue and ErrorCount of addresses it already held. False (table untouched) when
  // the list could not be read.
  bool InstallPointList(const Variant& params, std::vector<std::string>& pointNames);
  // A value read or written: ON... becomes TRUE, OFF... FALSE. Ignored while PointsReplaced is
  // set or when the address is not in the table.
  void StorePointValue(std::string_view address, std::string value);

  // Sends [address text, property] and answers the handle (> 0) or -1 when nothing was sent.
  using TRequestRead = std::function<int(const Variant& request)>;
  // One step of the scan (called on every session tick while no command is pending).
  void ScanStep(bool offline, const TRequestRead& requestRead, int timeoutTicks);
  // The device's OnResponseReceived.
  void HandleScanResponse(int handle, int response, const Variant& data);
};

}  // namespace zb
