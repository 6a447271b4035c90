#include "session/trend_records.h"

#include <cstdint>
#include <cstring>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

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

std::string EncodeByPositionRange(int referenceIndex, int count) {
  using namespace bacnet;
  return EncodeOpeningTag(3) +
         EncodeUnsigned(kTagClassApplication, 0, static_cast<uint32_t>(referenceIndex)) +
         EncodeSigned(kTagClassApplication, 0, count) + EncodeClosingTag(3);
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

struct Element {
  int kind = 0;
  int tag = -1;
  const Variant* value = nullptr;
};

Element ElementAt(const Variant& list, int i) {
  Element e;
  const Variant& v = list[list.LowBound() + i];
  if (!v.IsArray() || v.Count() < 2) return e;
  const int low = v.LowBound();
  int32_t kind = 0, tag = 0;
  if (!v[low].TryToInt(kind) || !v[low + 1].TryToInt(tag)) return e;
  e.kind = kind;
  e.tag = tag;
  if (v.Count() > 2) e.value = &v[low + 2];
  return e;
}

std::string RawOf(const Element& e) {
  std::string s;
  if (e.value && (e.value->IsText() || e.value->IsOctets())) s = e.value->AsTextRaw();
  return s;
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
  using namespace bacnet;
  if (!values.IsArray()) return 0;
  int stored = 0;
  try {
    const int n = values.Count();
    int i = 0;
    // Find the list of items: opening tag 5 at the outer level.
    int depth = 0;
    for (; i < n; ++i) {
      Element e = ElementAt(values, i);
      if (e.kind == kElementOpening) {
        if (depth == 0 && e.tag == 5) {
          ++i;
          break;
        }
        ++depth;
      } else if (e.kind == kElementClosing && depth > 0) {
        --depth;
      }
    }
    // Each record: [0] date time [0], [1] datum [1], optional [2] status flags.
    std::string date, time;
    bool haveStamp = false, haveDatum = false;
    double datum = 0;
    depth = 0;         // inside the list of items
    int section = -1;  // the record part being read (0 time stamp, 1 log datum)
    bool datumSeen = false;
    auto finish = [&]() {
      if (haveStamp && haveDatum) {
        TTrendRecord r;
        r.Value = datum;
        r.TimeStamp = BACnetDateToDate(date) + BACnetTimeToTime(time);
        if (buffer.Add(r)) ++stored;
      }
      haveStamp = haveDatum = datumSeen = false;
      date.clear();
      time.clear();
    };
    for (; i < n; ++i) {
      Element e = ElementAt(values, i);
      if (e.kind == kElementOpening) {
        if (depth == 0) {
          if (e.tag == 0) {
            finish();  // a new record starts with its time stamp
            section = 0;
          } else {
            section = e.tag;
          }
        }
        ++depth;
        continue;
      }
      if (e.kind == kElementClosing) {
        if (depth == 0) break;  // end of the list of items
        if (--depth == 0) {
          if (section == 0) haveStamp = true;
          section = -1;
        }
        continue;
      }
      if (depth == 1 && section == 0 && e.kind == kElementApplication) {
        if (e.tag == kAppTagDate) date = RawOf(e);
        if (e.tag == kAppTagTime) time = RawOf(e);
      } else if (depth == 1 && section == 1 && e.kind == kElementContext && !datumSeen) {
        datumSeen = true;
        const std::string raw = RawOf(e);
        switch (e.tag) {
          case 1:
            datum = DecodeBoolean(raw) ? 1.0 : 0.0;
            haveDatum = true;
            break;
          case 2:
            datum = DecodeReal(raw);
            haveDatum = raw.size() >= 4;
            break;
          case 3:
          case 4:
            datum = static_cast<double>(DecodeUnsigned(raw));
            haveDatum = !raw.empty() && raw.size() <= 4;
            break;
          case 5:
            datum = static_cast<double>(DecodeSigned(raw));
            haveDatum = !raw.empty() && raw.size() <= 4;
            break;
          default:
            break;  // status, null, bit string, time change
        }
      } else if (depth == 2 && section == 1) {
        datumSeen = true;  // a constructed datum (failure, any): not a value
      }
    }
    finish();
  } catch (...) {
  }
  return stored;
}

}  // namespace zb
