// ReadRange: the request record and its service data, the by-position range, and the log records
// of the acknowledgement.
#pragma once

#include <string>
#include <vector>

#include "platform/variant.h"

namespace zb::bacnet {

struct TReadRange {
  int ObjectType = 0;
  int Instance = 0;
  int Property = 0;
  // The encoded range specification, appended as it is (empty: the whole list).
  std::string Range;
};

// [0] object, [1] property, then the range.
std::string EncodeReadRange(const TReadRange& request);
// The by-position range: opening tag 3, reference index as unsigned, count as signed, closing 3.
std::string EncodeByPositionRange(int referenceIndex, int count);

struct TLogRecord {
  double Value = 0;
  double TimeStamp = 0;  // days since 30 December 1899, fraction = time of day
};

// The log records of an acknowledgement's tagged value list, in arrival order: each
// [0] date time [0], [1] datum [1], optional [2] status. Records whose datum is not a boolean,
// real, enumerated, unsigned or signed value are left out. Never throws, never reads outside the
// list; at most one record per two elements of it.
std::vector<TLogRecord> DecodeLogRecords(const Variant& values);

}  // namespace zb::bacnet
