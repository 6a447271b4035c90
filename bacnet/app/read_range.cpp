#include "bacnet/app/read_range.h"

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/read_property.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb::bacnet {

std::string EncodeReadRange(const TReadRange& r) {
  return EncodeObjectPropertyHead(r.ObjectType, r.Instance, r.Property) + r.Range;
}

std::string EncodeByPositionRange(int referenceIndex, int count) {
  return EncodeOpeningTag(3) +
         EncodeUnsigned(kTagClassApplication, 0, static_cast<uint32_t>(referenceIndex)) +
         EncodeSigned(kTagClassApplication, 0, count) + EncodeClosingTag(3);
}

namespace {

std::string RawOf(const TTaggedElement& e) {
  std::string s;
  if (e.Value && (e.Value->IsText() || e.Value->IsOctets())) s = e.Value->AsTextRaw();
  return s;
}

}  // namespace

std::vector<TLogRecord> DecodeLogRecords(const Variant& values) {
  std::vector<TLogRecord> records;
  if (!values.IsArray()) return records;
  try {
    const int n = values.Count();
    int i = 0;
    // Find the list of items: opening tag 5 at the outer level.
    int depth = 0;
    for (; i < n; ++i) {
      const TTaggedElement e = TaggedElementAt(values, i);
      if (e.Kind == kElementOpening) {
        if (depth == 0 && e.Tag == 5) {
          ++i;
          break;
        }
        ++depth;
      } else if (e.Kind == kElementClosing && depth > 0) {
        --depth;
      }
    }
    std::string date, time;
    bool haveStamp = false, haveDatum = false;
    double datum = 0;
    depth = 0;         // inside the list of items
    int section = -1;  // the record part being read (0 time stamp, 1 log datum)
    bool datumSeen = false;
    auto finish = [&]() {
      if (haveStamp && haveDatum) {
        TLogRecord r;
        r.Value = datum;
        r.TimeStamp = BACnetDateToDate(date) + BACnetTimeToTime(time);
        records.push_back(r);
      }
      haveStamp = haveDatum = datumSeen = false;
      date.clear();
      time.clear();
    };
    for (; i < n; ++i) {
      const TTaggedElement e = TaggedElementAt(values, i);
      if (e.Kind == kElementOpening) {
        if (depth == 0) {
          if (e.Tag == 0) {
            finish();  // a new record starts with its time stamp
            section = 0;
          } else {
            section = e.Tag;
          }
        }
        ++depth;
        continue;
      }
      if (e.Kind == kElementClosing) {
        if (depth == 0) break;  // end of the list of items
        if (--depth == 0) {
          if (section == 0) haveStamp = true;
          section = -1;
        }
        continue;
      }
      if (depth == 1 && section == 0 && e.Kind == kElementApplication) {
        if (e.Tag == kAppTagDate) date = RawOf(e);
        if (e.Tag == kAppTagTime) time = RawOf(e);
      } else if (depth == 1 && section == 1 && e.Kind == kElementContext && !datumSeen) {
        datumSeen = true;
        const std::string raw = RawOf(e);
        switch (e.Tag) {
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
  return records;
}

}  // namespace zb::bacnet
