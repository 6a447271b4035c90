// The driver's own Device object as a server: ReadProperty, ReadPropertyMultiple, WriteProperty.
#include "bacnet/app/device_server.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "device_test_stack.h"

namespace zb::bacnet::devtest {
namespace {

const std::string kDev998 = Bytes({0x0C, 0x02, 0x00, 0x03, 0xE6});  // [0] device 998

struct DeviceServer : ::testing::Test {
  DeviceStack s;
  int invoke = 0;
  void SetUp() override {
    s.dev.LoadStoredDefaults();
    ASSERT_TRUE(s.Open());
  }
  // Sends a confirmed request (max APDU 1476, segmented answers refused unless `header` says
  // otherwise) and returns what the device answered: the APDU octets after the three-octet
  // complex-ACK header, or the whole APDU when it is anything else.
  // Sends a WriteProperty; true when it was answered with a simple ACK.
  bool WriteAcked(const std::string& data) {
    const std::string answer = Ask(15, data);
    return answer == "<other>" + Bytes({0x20, invoke, 0x0F});
  }
  // The Error or Reject the device must give for the invoke ID the last Ask used.
  std::string ErrorFor(int service, int cls, int code) const {
    return "<other>" + Bytes({0x50, invoke, service, 0x91, cls, 0x91, code});
  }
  std::string RejectFor(int reason) const { return "<other>" + Bytes({0x60, invoke, reason}); }
  std::string Ask(int service, const std::string& data, int flags = 0x00, int limits = 0x05) {
    s.net.sent.clear();
    s.traces.clear();
    ++invoke;
    s.net.Receive(Bytes({flags, limits, invoke, service}) + data);
    if (s.net.sent.empty()) return "<nothing>";
    const SentAPDU& a = s.net.sent[0];
    if (a.octets.size() >= 3 && uint8_t(a.octets[0]) == 0x30 && a.pdu.InvokeID == invoke)
      return a.octets.substr(3);
    return "<other>" + a.octets;
  }
};

TEST_F(DeviceServer, ReadPropertyOfTheDeviceObject) {
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4B})),
            kDev998 + Bytes({0x19, 0x4B, 0x3E, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0x3F}));
  ASSERT_EQ(s.traces.size(), 4u);
  EXPECT_EQ(s.traces[1], "READ");
  EXPECT_EQ(s.traces[2], "ReadOne: [19][4b][3e][c4][02][00][03][e6][3f]");
  EXPECT_EQ(s.traces[3],
            "OUT: [T:0] [S:12] [L:14] Data: [0c][02][00][03][e6][19][4b][3e][c4][02][00][03][e6]"
            "[3f]\r");
  // The answer goes back to the requester.
  EXPECT_EQ(s.net.sent[0].pdu.DestinationAddress.str(), kPeerMac);

  // The wildcard instance is answered as our own instance.
  EXPECT_EQ(
      Ask(12, Bytes({0x0C, 0x02, 0x3F, 0xFF, 0xFF, 0x19, 0x4D})),
      kDev998 + Bytes({0x19, 0x4D, 0x3E, 0x75, 0x10, 0x00}) + "ZelBACnetServer" + Bytes({0x3F}));

  s.dev.SetVendorIdentifier(5);
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0xA8})),
            kDev998 + Bytes({0x19, 0xA8, 0x3E, 0x73, 0x00, '5', '-', 0x3F}));
  // ReadProperty, ReadPropertyMultiple, WriteProperty, I-Am, UnconfirmedEventNotification,
  // Who-Is.
  EXPECT_EQ(
      Ask(12, kDev998 + Bytes({0x19, 0x61})),
      kDev998 + Bytes({0x19, 0x61, 0x3E, 0x85, 0x06, 0x00, 0x00, 0x0B, 0x00, 0x24, 0x20, 0x3F}));
  // Only the Device object type.
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x60})),
            kDev998 + Bytes({0x19, 0x60, 0x3E, 0x84, 0x01, 0x00, 0x80, 0x00, 0x3F}));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x0B})),
            kDev998 + Bytes({0x19, 0x0B, 0x3E, 0x22, 0x0B, 0xB8, 0x3F}));
  // Object_Type is an enumeration; Device_Address_Binding an empty list.
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4F})),
            kDev998 + Bytes({0x19, 0x4F, 0x3E, 0x91, 0x08, 0x3F}));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x1E})), kDev998 + Bytes({0x19, 0x1E, 0x3E, 0x3F}));
}

TEST_F(DeviceServer, WhatCannotBeReadIsAnErrorAndWhatDoesNotParseARejection) {
  // Asks, then compares with what `expected` builds for the invoke ID the ask used.
  auto check = [&](int service, const std::string& data, auto expected) {
    const std::string got = Ask(service, data);
    EXPECT_EQ(got, expected()) << "request " << ::testing::PrintToString(data);
  };
  auto error = [&](int service, int cls, int code) {
    return [=, this] { return ErrorFor(service, cls, code); };
  };
  auto reject = [&](int reason) { return [=, this] { return RejectFor(reason); }; };
  const std::string ain1 = Bytes({0x0C, 0x00, 0x00, 0x00, 0x01});
  check(12, kDev998 + Bytes({0x19, 0x55}), error(12, 2, 32));  // unknown property
  check(12, ain1 + Bytes({0x19, 0x55}), error(12, 1, 31));     // unknown object
  // Another device instance is another object.
  check(12, Bytes({0x0C, 0x02, 0x00, 0x00, 0x05, 0x19, 0x4D}), error(12, 1, 31));
  check(12, kDev998 + Bytes({0x19, 0x4B, 0x29, 0x01}), error(12, 2, 50));  // no array
  check(12, kDev998 + Bytes({0x19, 0x08}), error(12, 2, 27));              // ALL: only in RPM
  check(12, Bytes({0x0B, 0x02, 0x00, 0x03, 0x19, 0x4B}), reject(4));
  check(12, "", reject(5));
  check(12, kDev998, reject(5));
  check(12, kDev998 + Bytes({0x19}), reject(4));  // cut short
  check(12, kDev998 + Bytes({0x19, 0x4B, 0x29, 0x01, 0x39, 0x01}), reject(7));
  EXPECT_EQ(Ask(14, ain1 + Bytes({0x1E, 0x09, 0x55, 0x1F})),
            ain1 + Bytes({0x1E, 0x29, 0x55, 0x5E, 0x91, 0x01, 0x91, 0x1F, 0x5F, 0x1F}));
  check(14, "", reject(5));
  check(14, kDev998 + Bytes({0x1E, 0x1F}), reject(5));
  check(14, kDev998 + Bytes({0x1E, 0x09, 0x4B}), reject(4));
  check(14, kDev998 + Bytes({0x09, 0x4B}), reject(4));
  // Other confirmed services are refused at once.
  check(2, Bytes({0x09, 0x01}), reject(9));
  // Every cut of a valid request is answered with a rejection, never with an ACK or silence.
  const std::string rpm = kDev998 + Bytes({0x1E, 0x09, 0x4D, 0x09, 0x4C, 0x19, 0x01, 0x1F});
  for (size_t cut = 0; cut < rpm.size(); ++cut)
    EXPECT_EQ(Ask(14, rpm.substr(0, cut)).substr(0, 8), RejectFor(0).substr(0, 8)) << cut;
}

TEST_F(DeviceServer, ObjectListHoldsTheDeviceAndWhatTheOwnerReports) {
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C})),
            kDev998 + Bytes({0x19, 0x4C, 0x3E, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0x3F}));
  EXPECT_TRUE(s.Traced("NoEvent"));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C, 0x29, 0x00})),
            kDev998 + Bytes({0x19, 0x4C, 0x29, 0x00, 0x3E, 0x21, 0x01, 0x3F}));
  Ask(12, kDev998 + Bytes({0x19, 0x4C, 0x29, 0x02}));
  EXPECT_EQ(s.net.sent.at(0).octets.substr(0, 1) + s.net.sent[0].octets.substr(2),
            Bytes({0x50, 0x0C, 0x91, 0x02, 0x91, 0x2A}));

  const std::vector<std::pair<int, int>> objects = {{0, 1}, {2, 2}};
  s.dev.OnObjectListRead = [&](void*, int index, int& type, int& instance) {
    EXPECT_EQ(type, 0);
    EXPECT_EQ(instance, 0);
    if (index == 0) instance = static_cast<int>(objects.size());
    if (index >= 1 && index <= static_cast<int>(objects.size())) {
      type = objects[index - 1].first;
      instance = objects[index - 1].second;
    }
  };
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C})),
            kDev998 + Bytes({0x19, 0x4C, 0x3E, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0xC4, 0x00, 0x00, 0x00,
                             0x01, 0xC4, 0x00, 0x80, 0x00, 0x02, 0x3F}));
  EXPECT_TRUE(s.Traced("Multi...ot=2 oi=2"));
  EXPECT_TRUE(s.Traced("Multi...ot=0 oi=0"));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C, 0x29, 0x00})),
            kDev998 + Bytes({0x19, 0x4C, 0x29, 0x00, 0x3E, 0x21, 0x03, 0x3F}));
  EXPECT_TRUE(s.Traced("GetCount...ot=0 oi=2"));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C, 0x29, 0x01})),
            kDev998 + Bytes({0x19, 0x4C, 0x29, 0x01, 0x3E, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0x3F}));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C, 0x29, 0x03})),
            kDev998 + Bytes({0x19, 0x4C, 0x29, 0x03, 0x3E, 0xC4, 0x00, 0x80, 0x00, 0x02, 0x3F}));
  EXPECT_TRUE(s.Traced("ReadElement 2...ot=2 oi=2"));
  EXPECT_EQ(Ask(12, kDev998 + Bytes({0x19, 0x4C, 0x29, 0x04})).substr(9),
            Bytes({0x0C, 0x91, 0x02, 0x91, 0x2A}));
  // In a read-access result the index is context tag 3.
  EXPECT_EQ(Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x4C, 0x19, 0x00, 0x1F})),
            kDev998 + Bytes({0x1E, 0x29, 0x4C, 0x39, 0x00, 0x4E, 0x21, 0x03, 0x4F, 0x1F}));

  // An owner that never reports the end of the list cannot hang the answer.
  s.dev.OnObjectListRead = [](void*, int, int& type, int& instance) {
    type = 0;
    instance = 1;
  };
  EXPECT_NE(Ask(12, kDev998 + Bytes({0x19, 0x4C})), "<nothing>");
}

TEST_F(DeviceServer, ReadPropertyMultipleAnswersEverySpecificationInRequestOrder) {
  const std::string ain1 = Bytes({0x0C, 0x00, 0x00, 0x00, 0x01});
  const std::string answer = Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x4D, 0x09, 0x4B, 0x1F}) + ain1 +
                                         Bytes({0x1E, 0x09, 0x55, 0x1F}));
  EXPECT_EQ(answer, kDev998 + Bytes({0x1E, 0x29, 0x4D, 0x4E, 0x75, 0x10, 0x00}) +
                        "ZelBACnetServer" +
                        Bytes({0x4F, 0x29, 0x4B, 0x4E, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0x4F, 0x1F}) +
                        ain1 + Bytes({0x1E, 0x29, 0x55, 0x5E, 0x91, 0x01, 0x91, 0x1F, 0x5F, 0x1F}));
  bool traced = false;
  for (const auto& t : s.traces)
    traced |= t.rfind("ReadMultiple: [0c][02][00][03][e6][1e]", 0) == 0;
  EXPECT_TRUE(traced);

  // An index on one reference does not leak onto the next one; on a non-array it is an access
  // error of that reference alone.
  EXPECT_EQ(Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x4B, 0x19, 0x01, 0x09, 0x4F, 0x1F})),
            kDev998 + Bytes({0x1E, 0x29, 0x4B, 0x39, 0x01, 0x5E, 0x91, 0x02, 0x91, 0x32, 0x5F, 0x29,
                             0x4F, 0x4E, 0x91, 0x08, 0x4F, 0x1F}));
  // The wildcard instance is answered as ours.
  EXPECT_EQ(Ask(14, Bytes({0x0C, 0x02, 0x3F, 0xFF, 0xFF, 0x1E, 0x09, 0x4F, 0x1F})),
            kDev998 + Bytes({0x1E, 0x29, 0x4F, 0x4E, 0x91, 0x08, 0x4F, 0x1F}));
}

std::vector<int> PropertyIdsOf(const std::string& answer) {
  std::vector<int> ids;
  const Variant list = DecodeTaggedList(answer);
  if (!list.IsArray()) return ids;
  for (int i = 0; i < list.Count(); ++i) {
    const Variant& e = list[i];
    if (e.IsArray() && e[0].ToInt() == kElementContext && e[1].ToInt() == 2)
      ids.push_back(static_cast<int>(DecodeUnsigned(e[2].ToText())));
  }
  return ids;
}

TEST_F(DeviceServer, AllRequiredAndOptionalAreServedInAscendingOrder) {
  const std::vector<int> all = PropertyIdsOf(Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x08, 0x1F})));
  int count = 0;
  const int* table = DevicePropertyIds(count);
  EXPECT_EQ(all, std::vector<int>(table, table + count));
  EXPECT_EQ(count, 30);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));

  const std::vector<int> required =
      PropertyIdsOf(Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x69, 0x1F})));
  const std::vector<int> optional =
      PropertyIdsOf(Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x50, 0x1F})));
  EXPECT_EQ(required, (std::vector<int>{10, 11, 12, 30, 44,  62,  70,  73,  75,  76,  77,
                                        79, 96, 97, 98, 107, 112, 120, 121, 139, 155, 167}));
  std::vector<int> both = required;
  both.insert(both.end(), optional.begin(), optional.end());
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, all);
  // Every group entry holds a value, none an access error.
  const std::string answer = Ask(14, kDev998 + Bytes({0x1E, 0x09, 0x08, 0x1F}));
  EXPECT_EQ(answer.find(Bytes({0x5E, 0x91})), std::string::npos);
}

TEST_F(DeviceServer, LongAnswersAreSegmentedOrAbortedAsTheRequesterAllows) {
  const std::string all = kDev998 + Bytes({0x1E, 0x09, 0x08, 0x1F});
  // Max APDU 50, no segmented answers accepted: abort, segmentation not supported.
  const std::string refused = Ask(14, all, 0x00, 0x00);
  EXPECT_EQ(refused, "<other>" + Bytes({0x71, invoke, 0x04}));
  // Segmented answers accepted, any number of segments: the first segment goes out; so it does
  // when the number is left unspecified (code 0).
  for (int limits : {0x70, 0x00}) {
    const std::string first = Ask(14, all, 0x02, limits);
    ASSERT_GE(first.size(), 8u) << limits;
    EXPECT_EQ(first.substr(0, 7), "<other>");
    EXPECT_EQ(uint8_t(first[7]) & 0xFC, 0x3C);  // complex ACK, segmented, more follows
  }
  // Two segments are too few.
  const std::string overflow = Ask(14, all, 0x02, 0x10);
  EXPECT_EQ(overflow, "<other>" + Bytes({0x71, invoke, 0x01}));
}

TEST_F(DeviceServer, WriteIsRefusedUnlessAnOwnerTakesIt) {
  const std::string aval1 = Bytes({0x0C, 0x00, 0x80, 0x00, 0x01});
  const std::string write =
      aval1 + Bytes({0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F, 0x49, 0x08});
  // Nothing here is writable: no Simple-ACK for a change that never happens.
  std::string answer = Ask(15, write);
  EXPECT_EQ(answer, ErrorFor(15, 1, 31));
  answer = Ask(15, kDev998 + Bytes({0x19, 0x1C, 0x3E, 0x75, 0x02, 0x00, 'x', 0x3F}));
  EXPECT_EQ(answer, ErrorFor(15, 2, 40));
  EXPECT_TRUE(s.Traced("Write Property"));

  struct Written {
    int type, instance, property, index, value_type;
    Variant value;
  };
  std::vector<Written> got;
  s.dev.OnPropertyWrite = [&](void*, int t, int i, int p, int x, const Variant& v, int vt) {
    got.push_back({t, i, p, x, vt, v});
  };
  EXPECT_TRUE(WriteAcked(write));
  EXPECT_TRUE(s.Traced("OUT: [T:0] [S:15] [L:0] Data: \r"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, 2);
  EXPECT_EQ(got[0].instance, 1);
  EXPECT_EQ(got[0].property, 85);
  EXPECT_EQ(got[0].index, -1);
  EXPECT_EQ(got[0].value_type, 0);
  EXPECT_DOUBLE_EQ(got[0].value.ToReal(), 72.5);

  Ask(15, aval1 + Bytes({0x19, 0x57, 0x29, 0x02, 0x3E, 0x91, 0x01, 0x3F}));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].index, 2);
  EXPECT_EQ(got[1].value.ToInt(), 1);

  // Items that do not parse: rejected, nothing handed on; a throwing owner is contained.
  answer = Ask(15, Bytes({0x0B, 0x00, 0x80, 0x00}));
  EXPECT_EQ(answer, RejectFor(5));
  EXPECT_EQ(got.size(), 2u);
  s.dev.OnPropertyWrite = [](void*, int, int, int, int, const Variant&, int) {
    throw std::runtime_error("owner failed");
  };
  EXPECT_TRUE(WriteAcked(write));
}

TEST_F(DeviceServer, AnswersToABroadcastRequestGoToTheRequesterAlone) {
  s.net.sent.clear();
  ++invoke;
  s.net.Receive(Bytes({0x00, 0x05, invoke, 0x0C}) + kDev998 + Bytes({0x19, 0x4B}), kPeerMac, 0,
                true);
  ASSERT_EQ(s.net.sent.size(), 1u);
  EXPECT_FALSE(s.net.sent[0].pdu.Broadcast);
  EXPECT_EQ(s.net.sent[0].pdu.DestinationAddress.str(), kPeerMac);
  s.net.sent.clear();
  ++invoke;
  s.net.Receive(Bytes({0x00, 0x05, invoke, 0x0C}) + kDev998 + Bytes({0x19, 0x55}), kPeerMac, 0,
                true);
  ASSERT_EQ(s.net.sent.size(), 1u);
  EXPECT_EQ(s.net.sent[0].pdu.PDUType, kPDUError);
  EXPECT_FALSE(s.net.sent[0].pdu.Broadcast);
}

}  // namespace
}  // namespace zb::bacnet::devtest
