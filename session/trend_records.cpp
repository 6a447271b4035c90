#include "session/trend_records.h"

#include <cstdint>
#include <cstring>

#include "bacnet/app/read_range.h"

namespace zb {

std::vector<std::pair<int, int>> TrendRequestPlan(int c) {
  // Positions in a log buffer count from 1; position c is the newest record.
  std::vector<std::pair<int, int>> plan;
  if (c > 96) {
    plan.emplace_back(1, 12);
    for (int k = 0; k <= 7; ++k) plan.emplace_back(c - 95 + 12 * k, 12);
  } else if (c > 0) {
    for (int k = 0; k < c / 12; ++k) plan.emplace_back(1 + 12 * k, 12);
    if (c % 12 != 0) plan.emplace_back(1 + 12 * (c / 12), c % 12);
  }
  return plan;
}

bool TTrendBuffer::Add(const TTrendRecord& record) {
  if (Count() >= kTrendBufferCapacity) return false;
  for (const TTrendRecord& r : records_)
    if (r.TimeStamp == record.TimeStamp) return false;
  records_.push_back(record);
  return true;
}

namespace {

void PutDouble(std::string& out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

}  // namespace

std::string TTrendBuffer::Octets() const {
  std::string out;
  out.reserve(records_.size() * kTrendRecordSize + 1);
  for (const TTrendRecord& r : records_) {
    PutDouble(out, r.Value);
    PutDouble(out, r.TimeStamp);
  }
  out.push_back('\0');
  return out;
}

int DecodeTrendRecords(const Variant& values, TTrendBuffer& buffer) {
  int stored = 0;
  for (const bacnet::TLogRecord& r : bacnet::DecodeLogRecords(values))
    if (buffer.Add({r.Value, r.TimeStamp})) ++stored;
  return stored;
}

}  // namespace zb
