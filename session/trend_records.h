// Trend data: the plan of ReadRange requests for a trend log's buffer, the decoding of the log
// records those requests return, and the block of 16-octet records handed to the host.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/variant.h"

namespace zb {

constexpr int kTrendBufferCapacity = 108;
constexpr int kTrendRecordSize = 16;

// (reference index, count) of every ReadRange-by-position request for a log of `recordCount`
// records, positions counting from 1: the first 12 and the last 96 (ending with the newest at
// position recordCount) of a longer log, the whole log in twelves otherwise.
std::vector<std::pair<int, int>> TrendRequestPlan(int recordCount);

struct TTrendRecord {
  double Value = 0;
  double TimeStamp = 0;  // days since 30 December 1899, fraction = time of day
};

class TTrendBuffer {
 public:
  int Count() const { return static_cast<int>(records_.size()); }
  const TTrendRecord& Record(int i) const { return records_.at(size_t(i)); }
  void Clear() { records_.clear(); }
  // Stored unless the buffer is full or a stored record has the same time stamp.
  bool Add(const TTrendRecord& record);
  // The records, each as the value then the time stamp, both little-endian IEEE doubles,
  // followed by one unused zero octet.
  std::string Octets() const;

 private:
  std::vector<TTrendRecord> records_;
};

// Decodes the log records of a ReadRange acknowledgement (its tagged value list) into the
// buffer in arrival order. Records whose datum is not a boolean, real, enumerated, unsigned or
// signed value are skipped. Answers the number of records stored. Never throws, never reads
// outside the list.
int DecodeTrendRecords(const Variant& values, TTrendBuffer& buffer);

}  // namespace zb
