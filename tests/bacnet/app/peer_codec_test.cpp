// Our encoders against the independent peer library: every vector it encodes must come out of
// our encoder octet for octet and decode to the same values, and it must read our whole
// acknowledgements back to the values we put in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "platform/message_loop.h"
#include "tests/bacnet/app/octets.h"
#include "tests/common/peer.h"

namespace zb::bacnet {
namespace {

using test::Octets;
using test::ToHex;

constexpr int C = kTagClassContext;
constexpr int A = kTagClassApplication;

std::string Compact(std::string_view s) {
  std::string out = ToHex(s);
  std::erase(out, ' ');
  return out;
}

std::string ReadPropertyAck() {
  return EncodeObjectIdentifier(C, 0, 0, 5) + EncodeEnumerated(C, 1, 85) + EncodeOpeningTag(3) +
         EncodeReal(A, 0, 72.3) + EncodeClosingTag(3);
}

std::string Property(int id, const std::string& value, int index = -1) {
  std::string out = EncodeEnumerated(C, 2, id);
  if (index >= 0) out += EncodeUnsigned(C, 3, index);
  return out + EncodeOpeningTag(4) + value + EncodeClosingTag(4);
}

std::string ReadPropertyMultipleAck() {
  return EncodeObjectIdentifier(C, 0, 2, 7) + EncodeOpeningTag(1) +
         Property(85, EncodeReal(A, 0, 21.5)) + Property(117, EncodeEnumerated(A, 0, 62)) +
         Property(77, EncodeCharacterString(A, 0, "Room 1")) + Property(87, EncodeNull(A, 0), 3) +
         Property(81, EncodeBoolean(A, 0, false)) + EncodeClosingTag(1);
}

// Our encoding of one vector line ("kind args..."), and the value a decoded element must hold
// (item 2), or Empty when not checked.
bool Ours(const std::vector<std::string>& t, std::string& out, Variant& value) {
  const std::string& kind = t[0];
  auto cls = [&] { return t[1] == "C" ? C : A; };
  auto tag = [&] { return std::stoi(t[2]); };
  auto text = [&](const std::string& hex) { return hex == "-" ? std::string() : Octets(hex); };
  if (kind == "null") {
    out = EncodeNull(A, 0);
    value = 0;
  } else if (kind == "boolean") {
    out = EncodeBoolean(cls(), tag(), t[3] == "1");
    value = t[3] == "1";
  } else if (kind == "unsigned" || kind == "enumerated") {
    uint32_t v = uint32_t(std::stoul(t[3]));
    out = kind == "unsigned" ? EncodeUnsigned(cls(), tag(), v) : EncodeEnumerated(cls(), tag(), v);
    value = int32_t(v);
  } else if (kind == "signed") {
    int32_t v = int32_t(std::stol(t[3]));
    out = EncodeSigned(cls(), tag(), v);
    value = v;
  } else if (kind == "real") {
    double v = std::strtod(t[3].c_str(), nullptr);
    out = EncodeReal(cls(), tag(), v);
    value = double(float(v));
  } else if (kind == "double") {
    double v = std::strtod(t[3].c_str(), nullptr);
    out = EncodeDouble(cls(), tag(), v);
    value = v;
  } else if (kind == "octets") {
    out = EncodeOctetString(cls(), tag(), text(t[3]));
    value = text(t[3]);
  } else if (kind == "charstring") {
    out = EncodeCharacterString(cls(), tag(), text(t[3]));
    value = text(t[3]);
  } else if (kind == "bitstring") {
    out = EncodeBitString(cls(), tag(), t[3]);
    value = t[3];
  } else if (kind == "date") {
    double d;
    if (!TryEncodeDate(std::stoi(t[3]), std::stoi(t[4]), std::stoi(t[5]), d)) return false;
    out = EncodeDate(A, 0, DateToBACnetDate(d));
  } else if (kind == "time") {
    double d;
    if (!TryEncodeTime(std::stoi(t[3]), std::stoi(t[4]), std::stoi(t[5]), std::stoi(t[6]), d))
      return false;
    out = EncodeTime(A, 0, TimeToBACnetTime(d));
  } else if (kind == "objectid") {
    out = EncodeObjectIdentifier(cls(), tag(), std::stoul(t[3]), std::stoul(t[4]));
    value = std::stoi(t[3]);
  } else if (kind == "opening") {
    out = EncodeOpeningTag(std::stoi(t[1]));
  } else if (kind == "closing") {
    out = EncodeClosingTag(std::stoi(t[1]));
  } else if (kind == "rpack") {
    out = ReadPropertyAck();
  } else if (kind == "rpmack") {
    out = ReadPropertyMultipleAck();
  } else {
    return false;
  }
  return true;
}

class PeerCodec : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zb::test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed";
    ASSERT_TRUE(peer_.Start("codec_vectors.js", {}));
  }
  zb::platform::MessageLoop loop_;
  zb::test::PeerProcess peer_;
};

TEST_F(PeerCodec, EncodingsMatchThePeerLibrary) {
  int count = 0;
  std::string line;
  while (peer_.ReadLine(line, 10000, loop_) && line != "end") {
    size_t eq = line.find(" = ");
    ASSERT_NE(eq, std::string::npos) << line;
    std::vector<std::string> tokens;
    std::istringstream words(line.substr(0, eq));
    for (std::string w; words >> w;) tokens.push_back(w);
    std::string expected = line.substr(eq + 3);
    std::string ours;
    Variant value;
    ASSERT_TRUE(Ours(tokens, ours, value)) << line;
    // The peer writes -2^23 in four octets; ours is the shortest form. Both must read the same.
    bool longerSigned = false;
    if (tokens[0] == "signed" && Compact(ours) != expected && ours.size() < expected.size()) {
      const Variant item =
          DecodeTaggedList(Octets(expected))[0][2];  // copied: the list is temporary
      longerSigned =
          tokens[1] == "C" ? Variant(DecodeSigned(item.AsTextRaw())) == value : item == value;
    }
    if (!longerSigned) {
      ASSERT_EQ(Compact(ours), expected) << line;
    }
    ++count;
    // The peer's octets decode to the value and encode back unchanged.
    bool complete = false;
    Variant list = DecodeTaggedList(Octets(expected), &complete);
    ASSERT_TRUE(complete) << line;
    // Every proper prefix of a single tag stops cleanly with nothing decoded.
    if (list.Count() == 1) {
      const std::string whole = Octets(expected);
      for (size_t cut = 1; cut < whole.size(); ++cut) {
        std::vector<char> part(whole.begin(), whole.begin() + cut);
        bool done = true;
        Variant prefix = DecodeTaggedList(std::string_view(part.data(), cut), &done);
        ASSERT_FALSE(done) << line << " cut " << cut;
        ASSERT_EQ(prefix.Count(), 0) << line << " cut " << cut;
      }
    }
    // Application values re-encode in our (shortest) form, context contents as they came.
    bool context = tokens.size() > 1 && tokens[1] == "C";
    ASSERT_EQ(Compact(EncodeTaggedList(list)), context ? expected : Compact(ours)) << line;
    if (!value.IsEmpty()) {
      ASSERT_EQ(list.Count(), 1) << line;
      if (context) {  // context elements keep their raw content
        const std::string& raw = list[0][2].AsTextRaw();
        ASSERT_EQ(raw, Octets(expected).substr(Octets(expected).size() - raw.size())) << line;
      } else {
        ASSERT_EQ(list[0][2], value) << line << " decoded " << list.Describe();
      }
    }
  }
  EXPECT_EQ(line, "end");
  EXPECT_GT(count, 1500);
}

TEST_F(PeerCodec, ThePeerReadsOurAcknowledgements) {
  std::string line;
  ASSERT_TRUE(peer_.WaitFor("end", 10000, nullptr, loop_));
  ASSERT_TRUE(peer_.Send("rpack " + Compact(ReadPropertyAck())));
  ASSERT_TRUE(peer_.ReadLine(line, 10000, loop_));
  EXPECT_NE(line.find("\"objectId\":{\"type\":0,\"instance\":5}"), std::string::npos) << line;
  EXPECT_NE(line.find("\"property\":{\"id\":85,"), std::string::npos) << line;
  EXPECT_NE(line.find("\"value\":72.30000305175781"), std::string::npos) << line;

  // A multiple acknowledgement for several objects, with every kind of value the sessions read.
  std::string ack;
  for (int i = 0; i < 20; ++i) {
    ack += EncodeObjectIdentifier(C, 0, 0, i) + EncodeOpeningTag(1) +
           Property(85, EncodeReal(A, 0, 20.5 + i)) +
           Property(111, EncodeBitString(A, 0, i % 2 ? "0100" : "0000")) +
           Property(117, EncodeEnumerated(A, 0, 62)) +
           Property(77, EncodeCharacterString(A, 0, "Zone " + std::to_string(i))) +
           Property(1000 + i, EncodeUnsigned(A, 0, 70000u * i)) + EncodeClosingTag(1);
  }
  ASSERT_TRUE(peer_.Send("rpmack " + Compact(ack)));
  ASSERT_TRUE(peer_.ReadLine(line, 10000, loop_));
  EXPECT_NE(line.find("{\"len\":" + std::to_string(ack.size()) + ","), std::string::npos) << line;
  for (int i = 0; i < 20; ++i) {
    std::string object = "{\"objectId\":{\"type\":0,\"instance\":" + std::to_string(i) + "}";
    size_t at = line.find(object);
    ASSERT_NE(at, std::string::npos) << object << " in " << line;
    std::string rest = line.substr(at, line.find("{\"objectId\"", at + 1) - at);
    EXPECT_NE(rest.find("\"value\":" + std::to_string(20 + i) + ".5,\"type\":4"), std::string::npos)
        << rest;
    EXPECT_NE(rest.find("\"value\":\"Zone " + std::to_string(i) + "\",\"type\":7"),
              std::string::npos)
        << rest;
    EXPECT_NE(rest.find("\"id\":" + std::to_string(1000 + i) + ","), std::string::npos) << rest;
    EXPECT_NE(rest.find("\"value\":" + std::to_string(70000u * i) + ",\"type\":2"),
              std::string::npos)
        << rest;
    EXPECT_NE(rest.find("\"value\":62,\"type\":9"), std::string::npos) << rest;
  }
}

}  // namespace
}  // namespace zb::bacnet
