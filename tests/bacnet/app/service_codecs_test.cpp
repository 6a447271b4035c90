// The per-service codecs: each record encodes to the standard's octets and decodes back from its
// tagged value list, and every cut of a valid encoding is refused without reading past it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bacnet/app/acknowledge_alarm.h"
#include "bacnet/app/read_property.h"
#include "bacnet/app/read_property_multiple.h"
#include "bacnet/app/read_range.h"
#include "bacnet/app/service_errors.h"
#include "bacnet/app/tagged_list.h"
#include "bacnet/app/who_is_i_am.h"
#include "bacnet/app/write_property.h"
#include "tests/bacnet/app/octets.h"

namespace zb::bacnet {
namespace {

using test::Octets;
using test::ToHex;

// The list of a prefix, and whether the prefix held whole elements only.
Variant Cut(const std::string& octets, size_t n, bool& complete) {
  return DecodeTaggedList(std::string_view(octets).substr(0, n), &complete);
}

bool Same(const TReadProperty& a, const TReadProperty& b) {
  return a.ObjectType == b.ObjectType && a.Instance == b.Instance && a.Property == b.Property &&
         a.ArrayIndex == b.ArrayIndex;
}

TEST(ServiceCodecs, ReadPropertyMatchesTheStandardExampleAndComesBack) {
  const TReadProperty r{0, 5, 85, -1};
  EXPECT_EQ(ToHex(EncodeReadProperty(r)), "0C 00 00 00 05 19 55");
  TReadProperty back;
  EXPECT_EQ(DecodeReadProperty(DecodeTaggedList(EncodeReadProperty(r)), back), kRejectNone);
  EXPECT_TRUE(Same(back, r));
  EXPECT_EQ(ToHex(EncodeReadPropertyAck(r, Octets("44 42 90 99 9A"))),
            "0C 00 00 00 05 19 55 3E 44 42 90 99 9A 3F");

  const TReadProperty indexed{8, 998, 76, 3};
  const std::string full = EncodeReadProperty(indexed);
  ASSERT_EQ(DecodeReadProperty(DecodeTaggedList(full), back), kRejectNone);
  EXPECT_TRUE(Same(back, indexed));
  // A cut leaves an incomplete list, a refused one, or the request without its index.
  for (size_t n = 0; n < full.size(); ++n) {
    bool complete = false;
    const Variant list = Cut(full, n, complete);
    const int reason = DecodeReadProperty(list, back);
    EXPECT_TRUE(!complete || reason != kRejectNone || !Same(back, indexed)) << n;
  }
}

TEST(ServiceCodecs, ReadPropertyRefusesWhatIsNotOne) {
  TReadProperty r;
  EXPECT_EQ(DecodeReadProperty(Variant(1), r), kRejectMissingRequiredParameter);
  // The property as an application tag.
  EXPECT_EQ(DecodeReadProperty(DecodeTaggedList(Octets("0C 00 00 00 05 21 55")), r),
            kRejectInvalidTag);
  // An unsigned of five octets is no property identifier.
  EXPECT_EQ(DecodeReadProperty(DecodeTaggedList(Octets("0C 00 00 00 05 1D 05 01 02 03 04 05")), r),
            kRejectInvalidTag);
  EXPECT_EQ(DecodeReadProperty(DecodeTaggedList(Octets("0C 00 00 00 05 19 55 29 01 39 02")), r),
            kRejectTooManyArguments);
}

TEST(ServiceCodecs, ReadPropertyMultipleComesBackAndEveryCutIsRefused) {
  std::vector<TReadAccessSpec> specs{{0, 16, {{85, -1}, {103, -1}}}, {8, 998, {{76, 2}}}};
  const std::string full = EncodeReadPropertyMultiple(specs);
  EXPECT_EQ(ToHex(full.substr(0, 11)), "0C 00 00 00 10 1E 09 55 09 67 1F");
  std::vector<TReadAccessSpec> back;
  ASSERT_EQ(DecodeReadPropertyMultiple(DecodeTaggedList(full), back), kRejectNone);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].Instance, 998);
  ASSERT_EQ(back[1].Properties.size(), 1u);
  EXPECT_EQ(back[1].Properties[0].Property, 76);
  EXPECT_EQ(back[1].Properties[0].ArrayIndex, 2);
  // Past the first specification a cut at an element boundary is a request that is still whole,
  // so only the cuts inside the second one count.
  const size_t first = 11;
  for (size_t n = 0; n < full.size(); ++n) {
    if (n == first) continue;
    bool complete = false;
    const Variant list = Cut(full, n, complete);
    EXPECT_TRUE(!complete || DecodeReadPropertyMultiple(list, back) != kRejectNone) << n;
  }
  // A specification without references.
  EXPECT_EQ(DecodeReadPropertyMultiple(DecodeTaggedList(Octets("0C 00 00 00 10 1E 1F")), back),
            kRejectMissingRequiredParameter);
  EXPECT_EQ(back.size(), 1u);
}

TEST(ServiceCodecs, ReadAccessResultsMatchTheStandardExample) {
  const std::string ack =
      EncodeReadAccessResultHead(0, 16) + EncodeReadResultValue(85, -1, Octets("44 42 90 99 9A")) +
      EncodeReadResultValue(103, -1, Octets("91 00")) + EncodeReadAccessResultTail();
  EXPECT_EQ(ToHex(ack), "0C 00 00 00 10 1E 29 55 4E 44 42 90 99 9A 4F 29 67 4E 91 00 4F 1F");
  EXPECT_EQ(ToHex(EncodeReadResultError(85, 1, 1, 31)), "29 55 39 01 5E 91 01 91 1F 5F");
}

TEST(ServiceCodecs, WritePropertyComesBackWithIndexValueAndPriority) {
  TWriteProperty w;
  w.ObjectType = 2;
  w.Instance = 1;
  w.Property = 85;
  w.ArrayIndex = 4;
  w.EncodedValue = Octets("44 43 34 00 00");  // REAL 180.0
  w.Priority = 10;
  const std::string full = EncodeWriteProperty(w);
  EXPECT_EQ(ToHex(full), "0C 00 80 00 01 19 55 29 04 3E 44 43 34 00 00 3F 49 0A");
  TWriteProperty back;
  ASSERT_EQ(DecodeWriteProperty(DecodeTaggedList(full), back), kRejectNone);
  EXPECT_EQ(back.ObjectType, 2);
  EXPECT_EQ(back.Instance, 1);
  EXPECT_EQ(back.Property, 85);
  EXPECT_EQ(back.ArrayIndex, 4);
  EXPECT_EQ(back.Priority, 10);
  EXPECT_DOUBLE_EQ(back.Value.ToReal(), 180.0);
  // Without the property nothing is written.
  for (size_t n = 0; n < 7; ++n) {
    bool complete = false;
    EXPECT_EQ(DecodeWriteProperty(Cut(full, n, complete), back), kRejectMissingRequiredParameter)
        << n;
  }
  // A context 4 inside a constructed value is no priority.
  w.ArrayIndex = -1;
  w.Priority = 0;
  w.EncodedValue = Octets("49 07");
  ASSERT_EQ(DecodeWriteProperty(DecodeTaggedList(EncodeWriteProperty(w)), back), kRejectNone);
  EXPECT_EQ(back.Priority, 0);
  EXPECT_EQ(back.ArrayIndex, -1);
}

TEST(ServiceCodecs, WhoIsAndIAmComeBack) {
  TWhoIs range{true, 10, 20};
  TWhoIs back;
  ASSERT_TRUE(DecodeWhoIs(DecodeTaggedList(EncodeWhoIs(range)), back));
  EXPECT_TRUE(back.HasRange);
  EXPECT_TRUE(WhoIsIncludes(back, 10));
  EXPECT_TRUE(WhoIsIncludes(back, 20));
  EXPECT_FALSE(WhoIsIncludes(back, 21));
  ASSERT_TRUE(DecodeWhoIs(DecodeTaggedList(EncodeWhoIs(TWhoIs{})), back));
  EXPECT_TRUE(WhoIsIncludes(back, 4194302));
  // Half a range asks for nobody.
  const std::string full = EncodeWhoIs(range);
  for (size_t n = 1; n < full.size(); ++n) {
    bool complete = false;
    const Variant list = Cut(full, n, complete);
    EXPECT_TRUE(!complete || !DecodeWhoIs(list, back)) << n;
  }

  const TIAm iAm{8, 998, 1476, 0, 555};
  const std::string octets = EncodeIAm(iAm);
  EXPECT_EQ(ToHex(octets), "C4 02 00 03 E6 22 05 C4 91 00 22 02 2B");
  TIAm got;
  ASSERT_TRUE(DecodeIAm(DecodeTaggedList(octets), got));
  EXPECT_EQ(got.Instance, 998);
  EXPECT_EQ(got.MaxAPDU, 1476);
  EXPECT_EQ(got.Vendor, 555);
  for (size_t n = 0; n < octets.size(); ++n) {
    bool complete = false;
    EXPECT_FALSE(DecodeIAm(Cut(octets, n, complete), got)) << n;
  }
}

TEST(ServiceCodecs, AcknowledgeAlarmComesBackAndEveryCutIsRefused) {
  const std::string stamp = Octets("7E 0C 09 03 07 05 03 00");
  const TAcknowledgeAlarm ack{
      4000000000u, 0, 3, 3, stamp, "operator", Octets("7E 0C 09 03 08 00 00 00")};
  const std::string full = EncodeAcknowledgeAlarm(ack);
  TAcknowledgeAlarm back;
  ASSERT_TRUE(DecodeAcknowledgeAlarm(DecodeTaggedList(full), back));
  EXPECT_EQ(back.ProcessIdentifier, 4000000000u);
  EXPECT_EQ(back.EventInstance, 3);
  EXPECT_EQ(back.ToState, 3u);
  EXPECT_EQ(back.TimeStamp, stamp);
  EXPECT_EQ(back.UserName, "operator");
  EXPECT_EQ(back.AckTimeStamp, ack.AckTimeStamp);
  for (size_t n = 0; n < full.size(); ++n) {
    bool complete = false;
    EXPECT_FALSE(DecodeAcknowledgeAlarm(Cut(full, n, complete), back)) << n;
  }
}

TEST(ServiceCodecs, ReadRangeByPositionAndTheLogRecordsOfItsAnswer) {
  const TReadRange r{20, 1, 131, EncodeByPositionRange(24, 6)};
  EXPECT_EQ(ToHex(EncodeReadRange(r)), "0C 05 00 00 01 19 83 3E 21 18 31 06 3F");
  // Two records (REAL 1.5, UNSIGNED 7) and one whose datum is a failure, in the list of items.
  const std::string stamp = "0E A4 7E 0C 09 03 B4 07 05 03 00 0F";
  const std::string ack = Octets(
      "0C 05 00 00 01 19 83 3A 00 00 5E " + stamp + " 1E 2C 3F C0 00 00 1F " + stamp.substr(0, 27) +
      "04 00 0F" + " 1E 49 07 1F " + stamp.substr(0, 27) + "05 00 0F" + " 1E 7E 7F 1F 5F");
  const std::vector<TLogRecord> records = DecodeLogRecords(DecodeTaggedList(ack));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_DOUBLE_EQ(records[0].Value, 1.5);
  EXPECT_DOUBLE_EQ(records[1].Value, 7);
  EXPECT_LT(records[0].TimeStamp, records[1].TimeStamp);
  // A cut answer gives at most the records it holds whole.
  for (size_t n = 0; n < ack.size(); ++n) {
    bool complete = false;
    EXPECT_LE(DecodeLogRecords(Cut(ack, n, complete)).size(), 2u) << n;
  }
  EXPECT_TRUE(DecodeLogRecords(Variant("not a list")).empty());
}

TEST(ServiceCodecs, ElementAccessorStaysInsideTheList) {
  const Variant list = DecodeTaggedList(Octets("09 05 3E 3F"));
  EXPECT_EQ(TaggedElementCount(list), 3);
  EXPECT_EQ(TaggedElementAt(list, -1).Kind, 0);
  EXPECT_EQ(TaggedElementAt(list, 3).Kind, 0);
  EXPECT_EQ(TaggedElementAt(list, 1).Kind, kElementOpening);
  EXPECT_EQ(TaggedElementAt(list, 1).Value, nullptr);
  int v = 0;
  EXPECT_TRUE(ContextUnsignedAt(list, 0, v));
  EXPECT_EQ(v, 5);
  EXPECT_FALSE(ContextUnsignedAt(list, 1, v));
  EXPECT_EQ(FindContextElement(list, 0, -4, 99), 0);
  EXPECT_EQ(TaggedElementCount(Variant(1)), 0);
  // Elements that are not [kind, tag, ...] read as nothing.
  const Variant odd = Variant::MakeList({Variant("x"), Variant::MakeList({Variant(2)})});
  EXPECT_EQ(TaggedElementAt(odd, 0).Kind, 0);
  EXPECT_EQ(TaggedElementAt(odd, 1).Kind, 0);
}

}  // namespace
}  // namespace zb::bacnet
