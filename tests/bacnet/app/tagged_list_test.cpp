#include "bacnet/app/tagged_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "bacnet/app/tag_codec.h"
#include "tests/bacnet/app/octets.h"

namespace zb::bacnet {
namespace {

using test::Octets;
using test::ToHex;

Variant L(std::vector<Variant> items) { return Variant::MakeList(std::move(items)); }

// Service data of the BACnet standard's example services (octets from its annex of encoded
// examples), with the list each must decode to.
struct Example {
  const char* name;
  std::string octets;
  Variant list;
};

std::vector<Example> Examples() {
  return {
      {"ReadProperty request", Octets("0C 00 00 00 05 19 55"),
       L({L({2, 0, Octets("00 00 00 05")}), L({2, 1, Octets("55")})})},
      {"ReadProperty ack", Octets("0C 00 00 00 05 19 55 3E 44 42 90 99 9A 3F"),
       L({L({2, 0, Octets("00 00 00 05")}), L({2, 1, Octets("55")}), L({3, 3}),
          L({1, 4, double(72.3f)}), L({4, 3})})},
      {"ReadPropertyMultiple request", Octets("0C 00 00 00 10 1E 09 55 09 67 1F"),
       L({L({2, 0, Octets("00 00 00 10")}), L({3, 1}), L({2, 0, Octets("55")}),
          L({2, 0, Octets("67")}), L({4, 1})})},
      {"ReadPropertyMultiple ack",
       Octets("0C 00 00 00 10 1E 29 55 4E 44 42 90 99 9A 4F 29 67 4E 91 00 4F 1F"),
       L({L({2, 0, Octets("00 00 00 10")}), L({3, 1}), L({2, 2, Octets("55")}), L({3, 4}),
          L({1, 4, double(72.3f)}), L({4, 4}), L({2, 2, Octets("67")}), L({3, 4}), L({1, 9, 0}),
          L({4, 4}), L({4, 1})})},
      {"I-Am", Octets("C4 02 00 00 03 22 01 E0 91 03 21 63"),
       L({L({1, 12, 8, 3}), L({1, 2, 480}), L({1, 9, 3}), L({1, 2, 99})})},
      {"WriteProperty request", Octets("0C 00 80 00 01 19 55 3E 44 43 34 00 00 3F"),
       L({L({2, 0, Octets("00 80 00 01")}), L({2, 1, Octets("55")}), L({3, 3}), L({1, 4, 180.0}),
          L({4, 3})})},
      {"primitive values",
       Octets("00 10 11 21 48 31 B8 55 08 40 52 00 00 00 00 00 00 63 12 34 FF 74 00") + "abc" +
           Octets("82 03 A8 A4 5B 01 18 04 B4 11 23 2D 11 C4 00 C0 00 0F 24 80 00 00 00"),
       L({L({1, 0, 0}), L({1, 1, false}), L({1, 1, true}), L({1, 2, 72}), L({1, 3, -72}),
          L({1, 5, 72.0}), L({1, 6, Octets("12 34 FF")}), L({1, 7, "abc"}), L({1, 8, "10101"}),
          L({1, 10, Octets("5B 01 18 04")}), L({1, 11, Octets("11 23 2D 11")}), L({1, 12, 3, 15}),
          L({1, 2, int32_t(0x80000000u)})})},
      {"extended tags and lengths",
       Octets("FE 0F F9 0F 01 FF 0F 65 FE 00 FE") + std::string(254, 'z') + Octets("FD 14 05") +
           "hello",
       L({L({3, 15}), L({2, 15, Octets("01")}), L({4, 15}), L({1, 6, std::string(254, 'z')}),
          L({2, 20, "hello"})})},
  };
}

TEST(TaggedList, DecodesTheStandardExamples) {
  for (const Example& e : Examples()) {
    bool complete = false;
    Variant got = DecodeTaggedList(e.octets, &complete);
    EXPECT_TRUE(complete) << e.name;
    EXPECT_EQ(got, e.list) << e.name << ": " << got.Describe();
  }
}

TEST(TaggedList, EncodesTheStandardExamples) {
  for (const Example& e : Examples())
    EXPECT_EQ(ToHex(EncodeTaggedList(e.list)), ToHex(e.octets)) << e.name;
}

// Cut every example short at every octet: decoding stops cleanly, keeps exactly the elements
// that were complete and reports the list incomplete unless the cut falls between two tags.
TEST(TaggedList, TruncatedInputStopsCleanly) {
  for (const Example& e : Examples()) {
    std::vector<size_t> ends;  // end offset of each element
    size_t at = 0;
    for (const Variant& element : e.list.Elements()) {
      at += EncodeTaggedList(L({element})).size();
      ends.push_back(at);
    }
    ASSERT_EQ(at, e.octets.size()) << e.name;
    for (size_t cut = 1; cut < e.octets.size(); ++cut) {
      // A copy of exactly `cut` octets, so ASan sees any read past it.
      std::vector<char> buffer(e.octets.begin(), e.octets.begin() + cut);
      bool complete = true;
      Variant got = DecodeTaggedList(std::string_view(buffer.data(), cut), &complete);
      size_t whole = 0;
      while (whole < ends.size() && ends[whole] <= cut) ++whole;
      bool boundary = whole > 0 && ends[whole - 1] == cut;
      ASSERT_EQ(complete, boundary) << e.name << " cut " << cut;
      ASSERT_TRUE(got.IsArray());
      ASSERT_EQ(size_t(got.Count()), whole) << e.name << " cut " << cut;
      for (size_t i = 0; i < whole; ++i) ASSERT_EQ(got[int(i)], e.list[int(i)]);
    }
  }
}

TEST(TaggedList, DecoderEdgeCases) {
  Variant empty = DecodeTaggedList("");
  EXPECT_FALSE(empty.IsArray());
  EXPECT_EQ(empty, Variant(1));
  EXPECT_EQ(DecodeTaggedList(Octets("00")), L({L({1, 0, 0})}));

  // A date whose length field says 3 still takes four octets...
  EXPECT_EQ(DecodeTaggedList(Octets("A3 5B 01 18 04 21 05")),
            L({L({1, 10, Octets("5B 01 18 04")}), L({1, 2, 5})}));
  // ...but never more than there are.
  bool complete = true;
  EXPECT_EQ(DecodeTaggedList(Octets("21 05 A3 5B 01 18"), &complete), L({L({1, 2, 5})}));
  EXPECT_FALSE(complete);

  // Application tags 13..15 have no type: an Empty element holds their place, the content is
  // skipped and decoding goes on.
  EXPECT_EQ(DecodeTaggedList(Octets("D2 AA BB 21 07"), &complete), L({Variant(), L({1, 2, 7})}));
  EXPECT_TRUE(complete);

  // Booleans carry their value in the length field and have no content.
  EXPECT_EQ(DecodeTaggedList(Octets("14 21 01")), L({L({1, 1, true}), L({1, 2, 1})}));

  // Over-long integers keep their low 32 bits; short reals read as 0.
  EXPECT_EQ(DecodeTaggedList(Octets("25 06 00 00 00 00 01 00 35 05 FF FF FF FF FE")),
            L({L({1, 2, 256}), L({1, 3, -2})}));
  EXPECT_EQ(DecodeTaggedList(Octets("42 12 34 53 00 00 00 21 01")),
            L({L({1, 4, 0.0}), L({1, 5, 0.0}), L({1, 2, 1})}));
  EXPECT_EQ(DecodeTaggedList(Octets("C2 00 01 21 01")), L({L({1, 12, 0, 0}), L({1, 2, 1})}));
  EXPECT_EQ(DecodeTaggedList(Octets("70 21 01")), L({L({1, 7, ""}), L({1, 2, 1})}));

  // Lengths far beyond the input: stop, without trying to reserve them.
  EXPECT_EQ(DecodeTaggedList(Octets("21 01 65 FF FF FF FF FF 00"), &complete), L({L({1, 2, 1})}));
  EXPECT_FALSE(complete);
  EXPECT_EQ(DecodeTaggedList(Octets("F8"), &complete), L({}));
  EXPECT_FALSE(complete);
  EXPECT_EQ(DecodeTaggedList(Octets("0D FE 00"), &complete), L({}));
  EXPECT_FALSE(complete);
}

TEST(TaggedList, EncoderRules) {
  EXPECT_EQ(EncodeTaggedList(Variant(1)), "");
  EXPECT_EQ(EncodeTaggedList(Variant("x")), "");
  // Booleans by value; kinds other than 2..4 count as application.
  EXPECT_EQ(ToHex(EncodeTaggedList(L({L({1, 1, true}), L({1, 1, false}), L({7, 1, true})}))),
            "11 10 11");
  // Context elements carry their raw content, so decoded lists encode back unchanged.
  EXPECT_EQ(ToHex(EncodeTaggedList(L({L({2, 1, Octets("01 2C")}), L({2, 0, ""})}))), "1A 01 2C 08");
  // Placeholders of unknown tags are skipped.
  EXPECT_EQ(ToHex(EncodeTaggedList(L({Variant(), L({1, 2, 7})}))), "21 07");
  // Numbers given as texts or reals convert; unsigned reach 2^32 - 1.
  EXPECT_EQ(ToHex(EncodeTaggedList(L({L({1, 2, "300"}), L({1, 2, 3e9}), L({1, 9, -1}),
                                      L({1, 3, "-129"}), L({1, 4, "72"})}))),
            "22 01 2C 24 B2 D0 5E 00 94 FF FF FF FF 32 FF 7F 44 42 90 00 00");
  // Dates and times that are not four octets are written empty; unknown tags too.
  EXPECT_EQ(ToHex(EncodeTaggedList(L({L({1, 10, "abc"}), L({1, 13, 5}), L({1, 8, ""})}))),
            "A0 D0 80");
  // An item that does not convert is the caller's error.
  Variant bad = L({L({1, 2, "many"})});
  EXPECT_THROW(EncodeTaggedList(bad), VariantError);
  std::string out = "x";
  EXPECT_FALSE(TryEncodeTaggedList(bad, out));
  EXPECT_TRUE(TryEncodeTaggedList(L({L({1, 2, 1})}), out));
  EXPECT_EQ(ToHex(out), "21 01");
  // Elements built with another lower bound are read by position all the same.
  Variant element = Variant::MakeArray(5, 7);
  element[5] = 1;
  element[6] = 2;
  element[7] = 9;
  Variant list = Variant::MakeArray(1, 1);
  list[1] = element;
  EXPECT_EQ(ToHex(EncodeTaggedList(list)), "21 09");
}

TEST(TaggedList, FindTaggedValue) {
  Variant ack =
      DecodeTaggedList(Octets("0C 00 00 00 10 1E 29 55 4E 44 42 90 99 9A 4F 29 67 4E 91 00 4F 1F"));
  // An empty path matches at any depth.
  EXPECT_EQ(FindTaggedValue(ack, 1, 9, ""), "0");
  EXPECT_EQ(FindTaggedValue(ack, 2, 2, ""), "U");
  EXPECT_EQ(FindTaggedValue(ack, 2, 0, ""), Octets("00 00 00 10"));
  // Outside the path nothing matches.
  EXPECT_EQ(FindTaggedValue(ack, 2, 0, "\x01"), "");
  int index = 0;
  EXPECT_EQ(FindTaggedValue(ack, 1, 4, "\x01\x04", index), "72.3000030517578");
  EXPECT_EQ(index, 4);
  // Once inside the path the search goes on past its closing tag.
  index = 0;
  EXPECT_EQ(FindTaggedValue(ack, 1, 9, "\x01\x04", index), "0");
  EXPECT_EQ(index, 8);
  // The inner form starts where it is told.
  index = 3;
  EXPECT_EQ(FindTaggedValue(ack, 2, 2, "", index), "g");
  EXPECT_EQ(index, 6);
  index = 0;
  EXPECT_EQ(FindTaggedValue(ack, 1, 7, "", index), "");
  EXPECT_EQ(index, -1);
  index = 99;
  EXPECT_EQ(FindTaggedValue(ack, 2, 2, "", index), "");
  EXPECT_EQ(index, -1);
  index = -5;
  EXPECT_EQ(FindTaggedValue(ack, 2, 2, "", index), "U");
  EXPECT_EQ(index, 2);
  // Opening elements have no value; the object type is item 2 of an identifier.
  EXPECT_EQ(FindTaggedValue(ack, 3, 4, ""), "");
  EXPECT_EQ(FindTaggedValue(DecodeTaggedList(Octets("C4 02 00 00 03")), 1, 12, ""), "8");
  EXPECT_EQ(FindTaggedValue(Variant(1), 1, 2, ""), "");

  // A closing tag leaves the path it closed; one that closes nothing open changes nothing.
  Variant siblings = DecodeTaggedList(Octets("1E 21 01 1F 2F 3E 21 05 3F"));
  EXPECT_EQ(FindTaggedValue(siblings, 1, 2, "\x03"), "5");
  EXPECT_EQ(FindTaggedValue(siblings, 1, 2, "\x01"), "1");

  // An event notification's time stamp: application date inside context 3 then context 2.
  Variant n = DecodeTaggedList(
      Octets("09 01 3E 19 05 3F 3E 2E A4 7B 05 11 04 B4 0C 1E 00 00 2F 3F A4 01 01 01 01"));
  EXPECT_EQ(FindTaggedValue(n, 1, 10, "\x03\x02"), Octets("7B 05 11 04"));
  EXPECT_EQ(FindTaggedValue(n, 1, 11, "\x03\x02"), Octets("0C 1E 00 00"));
  EXPECT_EQ(FindTaggedValue(n, 2, 1, "\x03"), Octets("05"));
}

}  // namespace
}  // namespace zb::bacnet
