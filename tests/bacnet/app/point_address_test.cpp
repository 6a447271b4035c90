#include "bacnet/app/point_address.h"

#include <gtest/gtest.h>

#include "tests/bacnet/app/octets.h"

namespace zb::bacnet {
namespace {

using test::Octets;
using test::ToHex;

TBACnetPointAddress Parse(std::string_view text) {
  TBACnetPointAddress a;
  EXPECT_TRUE(ParsePointAddress(text, a)) << text;
  return a;
}

bool Parses(std::string_view text) {
  TBACnetPointAddress a;
  return ParsePointAddress(text, a);
}

TEST(PointAddress, ShortFormWithOneOctetAddress) {
  TBACnetPointAddress a = Parse("3-BIN7");
  EXPECT_EQ(a.Network, 0);
  EXPECT_EQ(ToHex(a.DeviceAddress.view()), "03");
  EXPECT_EQ(a.ObjectType, 3);
  EXPECT_EQ(a.InstanceID, 7);
  EXPECT_EQ(a.PropertyID, -1);
  EXPECT_EQ(a.Qualifier, 16);
  EXPECT_TRUE(a.ShortForm);
  EXPECT_TRUE(a.RouterAddress.empty());
  EXPECT_EQ(FormatPointAddress(a), "3-BIN7");
}

TEST(PointAddress, DottedDeviceAddress) {
  TBACnetPointAddress a = Parse("192.168.1.20-AIN#3:85");
  EXPECT_EQ(ToHex(a.DeviceAddress.view()), "C0 A8 01 14 BA C0");
  EXPECT_EQ(a.ObjectType, 0);
  EXPECT_EQ(a.InstanceID, 3);
  EXPECT_EQ(a.PropertyID, 85);
  EXPECT_FALSE(a.ShortForm);
  EXPECT_EQ(FormatPointAddress(a), "C0:A8:01:14:BA:C0-AIN#3:85");
  EXPECT_EQ(Parse(FormatPointAddress(a)), a);
  EXPECT_EQ(ToHex(Parse("192.168.1.20:47809-AIN#3").DeviceAddress.view()), "C0 A8 01 14 BA C1");
}

TEST(PointAddress, NetworksRoutersAndQualifiers) {
  TBACnetPointAddress a = Parse("[5]12-AVAL#1:85.8");
  EXPECT_EQ(a.Network, 5);
  EXPECT_EQ(ToHex(a.DeviceAddress.view()), "0C");
  EXPECT_EQ(a.ObjectType, 2);
  EXPECT_EQ(a.PropertyID, 85);
  EXPECT_EQ(a.Qualifier, 8);
  EXPECT_EQ(FormatPointAddress(a), "[5]12-AVAL#1:85.8");
  a.Qualifier = 16;
  EXPECT_EQ(FormatPointAddress(a), "[5]12-AVAL#1:85");
  EXPECT_EQ(Parse("[5]12-AVAL#1:85.").Qualifier, 16);

  a = Parse("[C0:A8:01:01:BA:C0-5]12-AVAL#1");
  EXPECT_EQ(ToHex(a.RouterAddress.view()), "C0 A8 01 01 BA C0");
  EXPECT_EQ(a.Network, 5);
  EXPECT_EQ(FormatPointAddress(a), "[C0:A8:01:01:BA:C0-5]12-AVAL#1");
  a = Parse("[192.168.1.1-5]12-AVAL#1");
  EXPECT_EQ(ToHex(a.RouterAddress.view()), "C0 A8 01 01 BA C0");
  EXPECT_EQ(ToHex(Parse("[192.168.1.1:47809-5]12-AVAL#1").RouterAddress.view()),
            "C0 A8 01 01 BA C1");

  a = Parse("[5]0A:1B-AVAL#1:85.8");
  EXPECT_EQ(ToHex(a.DeviceAddress.view()), "0A 1B");
  EXPECT_EQ(FormatPointAddress(a), "[5]0A:1B-AVAL#1:85.8");
  a = Parse("[C0:A8:01:01:BA:C0-5]12-PROP130#2:77");
  EXPECT_EQ(a.ObjectType, 130);
  EXPECT_EQ(a.InstanceID, 2);
  EXPECT_EQ(a.PropertyID, 77);
}

TEST(PointAddress, ObjectParts) {
  EXPECT_EQ(Parse("3-ain#1").ObjectType, 0);
  EXPECT_EQ(Parse("3-lsz9").ObjectType, 22);
  EXPECT_EQ(Parse("3-AVG9").ObjectType, 18);
  TBACnetPointAddress a = Parse("3-PROP130#2");
  EXPECT_EQ(a.ObjectType, 130);
  EXPECT_EQ(a.InstanceID, 2);
  EXPECT_EQ(FormatPointAddress(a), "3-PROP130#2");
  EXPECT_EQ(Parse("3-PROP5#2").ObjectType, 5);
  a.ObjectType = 23;
  EXPECT_EQ(FormatPointAddress(a), "3-PROP23#2");
  a.ObjectType = -1;
  EXPECT_EQ(FormatPointAddress(a), "3-PROP-1#2");
  EXPECT_EQ(Parse("3-MSV#4:85").ObjectType, 19);
}

TEST(PointAddress, Failures) {
  for (const char* text : {"300-AIN1",  "-1-AIN1",
                           "3-",        "3-A",
                           "-AIN1",     "3-XYZ1",
                           "3AIN1",     "",
                           "3-AIN",     "3-AIN#",
                           "3-AINx",    "3-AIN#1:",
                           "3-AIN#1:x", "3-AIN#1:85.x",
                           "3-AIN#1.5", "3-PROP#1",
                           "3-PROPx#1", "3-AIN#99999999999",
                           "[5]-AIN1",  "[5]3"})
    EXPECT_FALSE(Parses(text)) << text;
  // Numbers written in other strict forms are fine.
  EXPECT_EQ(Parse("3-AIN#$10").InstanceID, 16);
  EXPECT_EQ(Parse("3-AIN-5").InstanceID, -5);
  EXPECT_EQ(Parse("254-AIN1").DeviceAddress.view(), "\xFE");
  EXPECT_EQ(Parse("0-AIN1").DeviceAddress.view(), std::string_view("\0", 1));
  // The lenient device number.
  EXPECT_EQ(Parse("ON-AIN1").DeviceAddress.view(), "\x01");
}

TEST(PointAddress, ObjectAddresses) {
  std::string mac = Octets("C0 A8 01 14 BA C0");
  std::string text = FormatObjectAddress(0, 3, 5, mac);
  EXPECT_EQ(text, "[5]@" + mac + "-AIN3");
  TBACnetPointAddress a = Parse(text);
  EXPECT_EQ(a.Network, 5);
  EXPECT_EQ(a.DeviceAddress.view(), mac);
  EXPECT_EQ(a.ObjectType, 0);
  EXPECT_EQ(a.InstanceID, 3);
  EXPECT_TRUE(a.ShortForm);
  EXPECT_EQ(FormatObjectAddress(8, 1234, 0, "ab"), "@ab-DEV1234");
  EXPECT_EQ(FormatObjectAddress(130, 7, 0, "ab"), "@ab-PROP130#7");
  EXPECT_EQ(Parse(FormatObjectAddress(130, 7, 0, "ab")).InstanceID, 7);

  // Raw address octets may be "-" (45), "]" (93) or "[" (91): 192.168.45.93 must still read back.
  for (int network : {0, 7}) {
    std::string raw = Octets("C0 A8 2D 5D 5B C0");
    a = Parse(FormatObjectAddress(4, 12, network, raw));
    EXPECT_EQ(a.DeviceAddress.view(), raw);
    EXPECT_EQ(a.Network, network);
    EXPECT_EQ(a.ObjectType, 4);
    EXPECT_EQ(a.InstanceID, 12);
  }
}

// Parse, format, parse: the same record, for texts that the plain rules would not carry back.
TEST(PointAddress, FormattedTextsReadBackToTheSameRecord) {
  for (const char* text :
       {"3-BIN7",
        "3-BIN7:85",
        "3-BIN7:85.4",
        "3-AIN#1:-1.8",
        "[5]12-AVAL#1:85.16",
        "[0A:0B-5]12-AVAL#1",
        "[0A:-5]12-AVAL#1",
        "[C0:A8:01:01:BA:C0-0]12-AVAL#1",
        "[0A:0B]12-AIN1",
        "[70000]12-AIN1",
        "FF:-AIN1",
        "0A:-AIN1",
        "@-AIN1",
        "@\xFF-AIN1",
        "3-PROP130",
        "3-PROP7#7",
        "1:2:3-AIN1",
        "[1.2.3.4]5-AIN1",
        "[5]@abc-LSP2",
        "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77-AIN1"}) {
    TBACnetPointAddress a = Parse(text);
    std::string formatted = FormatPointAddress(a);
    TBACnetPointAddress b;
    ASSERT_TRUE(ParsePointAddress(formatted, b)) << text << " -> " << formatted;
    EXPECT_EQ(b, a) << text << " -> " << formatted;
    EXPECT_EQ(FormatPointAddress(b), formatted);
  }
}

}  // namespace
}  // namespace zb::bacnet
