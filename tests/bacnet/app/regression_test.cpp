// Inputs that have crashed or fooled other BACnet decoders, kept as regressions. Each decode runs
// on an exactly sized heap copy so that a read one octet past the input is caught by ASan.
// (BVLL lengths against the datagram: tests/bacnet/link/bip_receive_test.cpp; NPDUs of 0, 1 and
// 2 octets: tests/bacnet/net/regression_test.cpp; segment numbers wrapping past 255 in both
// directions: application_client_test.cpp and application_segmenting_test.cpp.)
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "device_test_stack.h"
#include "tests/bacnet/app/octets.h"

namespace zb::bacnet::devtest {
namespace {

using zb::bacnet::test::Octets;

// The octets in a buffer of exactly their size.
class Exact {
 public:
  explicit Exact(const std::string& s) : n_(s.size()), p_(new char[s.size() ? s.size() : 1]) {
    std::copy(s.begin(), s.end(), p_.get());
  }
  std::string_view view() const { return {p_.get(), n_}; }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(p_.get()); }
  int size() const { return int(n_); }

 private:
  size_t n_;
  std::unique_ptr<char[]> p_;
};

Variant Decode(const std::string& octets, bool& complete) {
  Exact e(octets);
  return DecodeTaggedList(e.view(), &complete);
}

int Count(const Variant& list) { return list.IsArray() ? list.Count() : 0; }

TEST(DecoderRegressions, ExtendedTagOctetWithNothingAfterIt) {
  for (const char* hex : {"F8", "F9", "FD", "FE", "FF", "0C 00 00 00 01 F9", "3E F9"}) {
    bool complete = true;
    Variant v = Decode(Octets(hex), complete);
    EXPECT_FALSE(complete) << hex;
  }
  // Extended tag number present but its length octet missing.
  bool complete = true;
  Decode(Octets("FD 20"), complete);
  EXPECT_FALSE(complete);
}

TEST(DecoderRegressions, ObjectIdentifierOneOctetShort) {
  bool complete = true;
  // The header declares four octets and three follow.
  Variant v = Decode(Octets("C4 02 00 00"), complete);
  EXPECT_FALSE(complete);
  EXPECT_EQ(Count(v), 0);
  // The header itself declares three: decoded without reading a fourth, to no identifier.
  Variant w = Decode(Octets("C3 02 00 00 21 05"), complete);
  ASSERT_GE(Count(w), 1);
  int32_t type = -1, instance = -1;
  Exact three(Octets("02 00 00"));
  DecodeObjectIdentifier(three.view(), type, instance);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(instance, 0);
}

TEST(DecoderRegressions, DeclaredLengthBeyondTheInputOrWrappingTheRest) {
  const char* cases[] = {
      "75 10 00 61 62",           // character string of 16 with 3 present
      "65 FE 01 00 00",           // two-octet length 256
      "65 FF 00 01 00 00 00",     // four-octet length 65536
      "65 FF FF FF FF FF 00 00",  // 0xFFFFFFFF: remaining minus length wraps if unchecked
      "65 FF FF FF FF FE 00",     // 0xFFFFFFFE
      "0D FF FF FF FF FF 00",     // the same on a context tag
      "FD 30 FF FF FF FF FF",     // and on an extended context tag
      "21 05 44 42",              // real of four with one present, after a good element
      "3E 65 FF 80 00 00 00 3F",  // inside an opening tag
  };
  for (const char* hex : cases) {
    bool complete = true;
    Variant v = Decode(Octets(hex), complete);
    EXPECT_FALSE(complete) << hex;
  }
  bool complete = true;
  Variant v = Decode(Octets("21 05 44 42"), complete);
  ASSERT_EQ(Count(v), 1);
  EXPECT_EQ(v[0][2].ToInt(), 5);
}

TEST(DecoderRegressions, SignedIntegerWithTheTopBitSetInEveryPosition) {
  EXPECT_EQ(DecodeSigned(Exact(Octets("80")).view()), -128);
  EXPECT_EQ(DecodeSigned(Exact(Octets("80 00")).view()), -32768);
  EXPECT_EQ(DecodeSigned(Exact(Octets("80 00 00")).view()), -8388608);
  EXPECT_EQ(DecodeSigned(Exact(Octets("80 00 00 00")).view()), INT32_MIN);
  EXPECT_EQ(DecodeSigned(Exact(Octets("FF FF FF FF")).view()), -1);
  EXPECT_EQ(DecodeSigned(Exact(Octets("FF")).view()), -1);
  // Longer contents keep their low 32 bits.
  EXPECT_EQ(DecodeSigned(Exact(Octets("80 00 00 00 00")).view()), 0);
  EXPECT_EQ(DecodeSigned(Exact(Octets("00 80 00 00 00")).view()), INT32_MIN);
  EXPECT_EQ(DecodeSigned(Exact(Octets("FF FF FF FF FF FF FF FF FF")).view()), -1);
  EXPECT_EQ(DecodeUnsigned(Exact(Octets("80 00 00 00")).view()), 0x80000000u);
  EXPECT_EQ(DecodeUnsigned(Exact(Octets("FF FF FF FF FF")).view()), 0xFFFFFFFFu);

  // Every octet value in every position of a tagged INTEGER of one to four octets.
  for (int len = 1; len <= 4; ++len) {
    for (int pos = 0; pos < len; ++pos) {
      std::string content(len, '\0');
      content[pos] = char(0x80);
      bool complete = false;
      Variant v = Decode(std::string(1, char(0x30 | len)) + content, complete);
      ASSERT_TRUE(complete);
      ASSERT_EQ(Count(v), 1);
      int64_t want = int64_t(uint32_t(0x80) << (8 * (len - 1 - pos)));
      if (pos == 0) want -= int64_t(1) << (8 * len);
      EXPECT_EQ(v[0][2].ToInt(), want) << "length " << len << " position " << pos;
    }
  }
}

// The device as a server: requests with no service data, with a value holding only an extended
// tag octet, and every valid request cut short octet by octet. Each gets some answer or none; the
// device keeps serving.
struct DeviceRegressions : ::testing::Test {
  DeviceStack s;
  int invoke = 0;
  void SetUp() override {
    s.dev.LoadStoredDefaults();
    ASSERT_TRUE(s.Open());
  }
  void Confirmed(int service, const std::string& data) {
    ++invoke;
    s.net.Receive(Bytes({0x00, 0x05, invoke & 0xFF, service}) + data);
    s.loop.ProcessMessages();
  }
  // A ReadProperty of the device's object identifier is still answered correctly.
  void StillServes() {
    s.net.sent.clear();
    const std::string dev998 = Bytes({0x0C, 0x02, 0x00, 0x03, 0xE6});
    Confirmed(12, dev998 + Bytes({0x19, 0x4B}));
    ASSERT_EQ(s.net.sent.size(), 1u);
    EXPECT_EQ(s.net.sent[0].octets,
              Bytes({0x30, invoke & 0xFF, 0x0C}) + dev998 +
                  Bytes({0x19, 0x4B, 0x3E, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0x3F}));
  }
};

TEST_F(DeviceRegressions, ConfirmedRequestWithNoServiceData) {
  TBACnetPDU pdu;
  Exact bare(Octets("00 05 01 0C"));
  ASSERT_TRUE(DecodeAPDU(bare.data(), bare.size(), pdu));
  EXPECT_EQ(pdu.ServiceChoice, 12);
  EXPECT_TRUE(pdu.ServiceData.empty());
  Exact headless(Octets("00 05 01"));
  EXPECT_FALSE(DecodeAPDU(headless.data(), headless.size(), pdu));

  for (int service = 0; service < 64; ++service) Confirmed(service, "");
  // Unconfirmed ones too (an I-Am without its parameters binds nothing).
  for (int service = 0; service < 16; ++service) s.net.Receive(Bytes({0x10, service}));
  s.loop.AdvanceClock(60000);
  StillServes();
}

TEST_F(DeviceRegressions, WrittenValueHoldingOnlyAnExtendedTagOctet) {
  // Every WriteProperty is acknowledged; what matters is that no value is made up from the lone
  // octet and handed to the owner.
  std::vector<Variant> written;
  s.dev.OnPropertyWrite = [&](void*, int, int, int, int, const Variant& v, int) {
    written.push_back(v);
  };
  const std::string dev998 = Bytes({0x0C, 0x02, 0x00, 0x03, 0xE6});
  for (const char* value : {"3E F9 3F", "3E F9", "3E FF", "3E FD 3F", "3E 3F"}) {
    written.clear();
    Confirmed(15, dev998 + Bytes({0x19, 0x4D}) + Octets(value));
    for (const Variant& v : written)
      EXPECT_TRUE(v.IsEmpty() || (v.IsArray() && v.Count() == 0)) << value << ": " << v.Describe();
  }
  StillServes();
}

TEST_F(DeviceRegressions, EveryValidRequestCutShortOctetByOctet) {
  const std::string dev998 = Bytes({0x0C, 0x02, 0x00, 0x03, 0xE6});
  const std::string requests[] = {
      Bytes({0x00, 0x05, 0x01, 0x0C}) + dev998 + Bytes({0x19, 0x4B}),
      Bytes({0x00, 0x05, 0x01, 0x0C}) + dev998 + Bytes({0x19, 0x4C, 0x29, 0x00}),
      Bytes({0x00, 0x05, 0x01, 0x0E}) + dev998 + Bytes({0x1E, 0x09, 0x4B, 0x09, 0x4D, 0x1F}),
      Bytes({0x00, 0x05, 0x01, 0x0F}) + dev998 +
          Bytes({0x19, 0x4D, 0x3E, 0x75, 0x04, 0x00, 'a', 'b', 'c', 0x3F, 0x49, 0x10}),
      Bytes({0x02, 0x75, 0x01, 0x0C}) + dev998 + Bytes({0x19, 0x08}),
      Bytes({0x0A, 0x75, 0x01, 0x00, 0x01, 0x0C}) + dev998 + Bytes({0x19, 0x4B}),
      Bytes({0x10, 0x08, 0x09, 0x00, 0x1A, 0x27, 0x0F}),
      Bytes({0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x07, 0x22, 0x01, 0xE0, 0x91, 0x03, 0x21, 0x63}),
  };
  for (const std::string& r : requests) {
    for (size_t cut = 0; cut < r.size(); ++cut) {
      std::string apdu = r.substr(0, cut);
      if (apdu.size() >= 3) apdu[2] = char(++invoke & 0xFF);
      s.net.Receive(apdu);
      s.loop.ProcessMessages();
    }
  }
  s.loop.AdvanceClock(60000);
  StillServes();
}

// Who-Is and I-Am storms: every Who-Is gets its one I-Am and nothing piles up; I-Ams for ever new
// made-up devices stop being bound at the table's limit, while known ones keep their binding.
TEST_F(DeviceRegressions, WhoIsAndIAmStormsStayBounded) {
  s.net.sent.clear();
  for (int i = 0; i < 5000; ++i) s.net.Receive(Bytes({0x10, 0x08}), kPeerMac, 0, true);
  s.loop.ProcessMessages();
  EXPECT_EQ(s.net.sent.size(), 5000u);
  EXPECT_EQ(s.dev.PendingCount(), 0);
  s.net.sent.clear();

  auto iam = [](int instance) {
    return Bytes({0x10, 0x00, 0xC4, 0x02, (instance >> 16) & 0x3F, (instance >> 8) & 0xFF,
                  instance & 0xFF, 0x22, 0x01, 0xE0, 0x91, 0x03, 0x21, 0x63});
  };
  s.net.Receive(iam(7));
  const size_t limit = TBACnetDevice::kMaxBindings;
  for (int i = 0; i < int(limit) * 3; ++i) s.net.Receive(iam(1000 + i), kPeerMac, 0, true);
  s.loop.ProcessMessages();
  EXPECT_EQ(s.dev.Bindings().size(), limit);
  EXPECT_EQ(s.dev.Bindings().front().Instance, 7);
  EXPECT_TRUE(s.net.sent.empty());
  StillServes();
}

}  // namespace
}  // namespace zb::bacnet::devtest
