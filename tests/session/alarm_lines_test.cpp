#include "session/alarm_lines.h"

#include <gtest/gtest.h>

#include "bacnet/app/bacnet_date.h"

namespace zb {
namespace {

using bacnet::TEventNotification;

TEventNotification Notification(const std::string& message, uint32_t notifyType = 0) {
  TEventNotification n;
  n.ProcessIdentifier = 7;
  n.InitiatingObjectType = 8;
  n.InitiatingInstance = 1234;
  n.EventObjectType = 0;
  n.EventInstance = 3;
  n.TimeStampDate = std::string("\x7e\x0c\x08\x02", 4);  // 2026-12-08
  n.TimeStampTime = std::string("\x0e\x05\x09\x00", 4);  // 14:05:09
  n.TimeStamp =
      bacnet::BACnetDateToDate(n.TimeStampDate) + bacnet::BACnetTimeToTime(n.TimeStampTime);
  n.EventType = 99;
  n.MessageText = message;
  n.NotifyType = notifyType;
  n.ToState = 3;
  return n;
}

std::string Line(const TEventNotification& n) {
  std::string line;
  EXPECT_TRUE(FormatAlarmLine(n, 0, std::string("\x0a\x00\x00\x02\xba\xc0", 6), line));
  return line;
}

TEST(AlarmLineTest, PlainAlarmAndEvent) {
  EXPECT_EQ(Line(Notification("Boiler fault")), "{12/08/2026 14:05}{Boiler fault}{1}{3}{TRUE}{}");
  EXPECT_EQ(Line(Notification("Door opened", 1)), "{12/08/2026 14:05}{Door opened}{3}{3}{TRUE}{}");
}

TEST(AlarmLineTest, PrefixSetsClassLevelAcknowledgeAndNote) {
  EXPECT_EQ(Line(Notification("{I2<Operator note>Boiler fault}")),
            "{12/08/2026 14:05}{Boiler fault}{3}{2}{TRUE}{Operator note}");
  EXPECT_EQ(Line(Notification("{a0x}", 1)), "{12/08/2026 14:05}{x}{1}{0}{FALSE}{}");
  EXPECT_EQ(Line(Notification("{W7^hidden^Pump [>more] tail}")),
            "{12/08/2026 14:05}{Pump }{2}{3}{TRUE}{}");
  EXPECT_EQ(Line(Notification("{m1line\none}")), "{12/08/2026 14:05}{lineone}{2}{1}{FALSE}{}");
  EXPECT_EQ(Line(Notification("{Q3odd}", 1)), "{12/08/2026 14:05}{odd}{1}{3}{TRUE}{}");
  EXPECT_EQ(Line(Notification("{i9x}")), "{12/08/2026 14:05}{x}{3}{3}{FALSE}{}");
}

TEST(AlarmLineTest, NotAPrefix) {
  EXPECT_EQ(Line(Notification("{1Ax}")), "{12/08/2026 14:05}{{1Ax}}{1}{3}{TRUE}{}");
  EXPECT_EQ(Line(Notification("{A")), "{12/08/2026 14:05}{{A}{1}{3}{TRUE}{}");
  EXPECT_EQ(Line(Notification(std::string("\x01Text"))), "{12/08/2026 14:05}{Text}{1}{3}{TRUE}{}");
}

TEST(AlarmLineTest, ValuesByEventType) {
  TEventNotification n = Notification("{A1High}");
  n.EventType = 5;
  n.HasExceedingValue = true;
  n.ExceedingValue = 81.256;
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{High (Value=81.26)}{1}{1}{TRUE}{}");
  n.EventType = 4;
  n.HasReferenceValue = true;
  n.ReferenceValue = 3;
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{High (Value=3.00)}{1}{1}{TRUE}{}");
  n.EventType = 2;
  n.HasChangedValue = true;
  n.ChangedValue = -1.5;
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{High (Value=-1.50)}{1}{1}{TRUE}{}");
  n.HasChangedBits = true;
  n.ChangedBits = "0110";
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{High (Value=0110)}{1}{1}{TRUE}{}");
  n.EventType = 0;
  n.HasBitStringValue = true;
  n.BitStringValue = "10";
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{High (Value=10)}{1}{1}{TRUE}{}");
  n.EventType = 1;  // change-of-state: no value
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{High}{1}{1}{TRUE}{}");
}

TEST(AlarmLineTest, NoLineForAckNotificationsOrMissingTimeStamp) {
  std::string line;
  EXPECT_FALSE(FormatAlarmLine(Notification("x", 2), 0, "", line));
  TEventNotification n = Notification("x");
  n.TimeStamp = 0;
  EXPECT_FALSE(FormatAlarmLine(n, 0, "", line));
}

TEST(AckReferenceTest, EmbeddedAndParsedBack) {
  TEventNotification n = Notification("{I2<Operator note>Boiler fault}");
  n.AckRequired = true;
  std::string line;
  const std::string mac("\x0a\x00\x00\x02\xba\xc0", 6);
  ASSERT_TRUE(FormatAlarmLine(n, 5, mac, line));
  const std::string expected =
      "00000007"
      "0008"
      "04D2"
      "0000"
      "0003"
      "0003"
      "7E0C0802"
      "0E050900"
      "0005"
      "0A000002BAC0";
  EXPECT_EQ(line,
            "{12/08/2026 14:05}{Boiler faultBND:" + expected + "}{3}{2}{TRUE}{Operator note}");
  TAckReference r;
  ASSERT_TRUE(ParseAckReference(expected, r));
  EXPECT_EQ(r.ProcessIdentifier, 7u);
  EXPECT_EQ(r.InitiatingInstance, 1234);
  EXPECT_EQ(r.EventObjectType, 0);
  EXPECT_EQ(r.EventInstance, 3);
  EXPECT_EQ(r.ToState, 3u);
  EXPECT_EQ(r.TimeStamp, n.TimeStampDate + n.TimeStampTime);
  EXPECT_EQ(r.Network, 5);
  EXPECT_EQ(r.Address, mac);
  EXPECT_FALSE(ParseAckReference(expected.substr(0, 46), r));
}

TEST(AckReferenceTest, ValuesThatDoNotFitGiveNoReference) {
  TEventNotification n = Notification("Alarm");
  n.AckRequired = true;
  n.EventInstance = 70000;
  EXPECT_EQ(Line(n), "{12/08/2026 14:05}{Alarm}{1}{3}{TRUE}{}");
}

}  // namespace
}  // namespace zb
