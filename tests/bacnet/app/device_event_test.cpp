// Event notifications received by the device, their parameters, and AcknowledgeAlarm.
#include <gtest/gtest.h>

#include "bacnet/app/acknowledge_alarm.h"
#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/event_notification.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "device_test_stack.h"

namespace zb::bacnet::devtest {
namespace {

const std::string kDate = Bytes({126, 12, 8, 2});  // 2026-12-08, a Tuesday
const std::string kTime = Bytes({10, 30, 15, 0});

// An UnconfirmedEventNotification's service data: out-of-range by default.
std::string Notification(const std::string& stamp, const std::string& values, int event_type = 5,
                         int notify = 0, bool ack = true) {
  const int c = kTagClassContext, a = kTagClassApplication;
  std::string d = EncodeUnsigned(c, 0, 77);
  d += EncodeObjectIdentifier(c, 1, 8, 1234);
  d += EncodeObjectIdentifier(c, 2, 0, 3);
  d += EncodeOpeningTag(3) + stamp + EncodeClosingTag(3);
  d += EncodeUnsigned(c, 4, 1) + EncodeUnsigned(c, 5, 100);
  d += EncodeEnumerated(c, 6, event_type);
  d += EncodeCharacterString(c, 7, "{A2Boiler hot");
  d += EncodeEnumerated(c, 8, notify);
  d += EncodeBoolean(c, 9, ack);
  d += EncodeEnumerated(c, 10, 0) + EncodeEnumerated(c, 11, 3);
  d += EncodeOpeningTag(12) + values + EncodeClosingTag(12);
  (void)a;
  return d;
}

std::string DateTimeStamp() {
  return EncodeOpeningTag(2) + EncodeDate(1, 0, kDate) + EncodeTime(1, 0, kTime) +
         EncodeClosingTag(2);
}

std::string OutOfRange(double value) {
  return EncodeOpeningTag(5) + EncodeReal(2, 0, value) + EncodeBitString(2, 1, "1000") +
         EncodeReal(2, 2, 1) + EncodeReal(2, 3, 80) + EncodeClosingTag(5);
}

TEST(DeviceEvents, ParametersAreLocatedInTheirTags) {
  const TEventNotification n =
      DecodeEventNotification(DecodeTaggedList(Notification(DateTimeStamp(), OutOfRange(85.5))));
  EXPECT_EQ(n.ProcessIdentifier, 77u);
  EXPECT_EQ(n.InitiatingObjectType, 8);
  EXPECT_EQ(n.InitiatingInstance, 1234);
  EXPECT_EQ(n.EventObjectType, 0);
  EXPECT_EQ(n.EventInstance, 3);
  EXPECT_EQ(n.TimeStampDate, kDate);
  EXPECT_EQ(n.TimeStampTime, kTime);
  EXPECT_DOUBLE_EQ(n.TimeStamp, BACnetDateToDate(kDate) + BACnetTimeToTime(kTime));
  EXPECT_GT(n.TimeStamp, 46000);
  EXPECT_EQ(n.EventType, 5u);
  EXPECT_EQ(n.MessageText, "{A2Boiler hot");
  EXPECT_EQ(n.NotifyType, 0u);
  EXPECT_TRUE(n.AckRequired);
  EXPECT_EQ(n.ToState, 3u);
  EXPECT_TRUE(n.HasExceedingValue);
  EXPECT_DOUBLE_EQ(n.ExceedingValue, 85.5);
  EXPECT_FALSE(n.HasReferenceValue);
  EXPECT_FALSE(n.HasChangedValue);
}

TEST(DeviceEvents, EventValuesByType) {
  const std::string bits = EncodeOpeningTag(0) + EncodeBitString(2, 0, "1011") +
                           EncodeBitString(2, 1, "0000") + EncodeClosingTag(0);
  TEventNotification n =
      DecodeEventNotification(DecodeTaggedList(Notification(DateTimeStamp(), bits, 0)));
  EXPECT_TRUE(n.HasBitStringValue);
  EXPECT_EQ(n.BitStringValue, "1011");

  const std::string cov = EncodeOpeningTag(2) + EncodeOpeningTag(0) + EncodeReal(2, 1, 21.25) +
                          EncodeClosingTag(0) + EncodeBitString(2, 1, "0000") + EncodeClosingTag(2);
  n = DecodeEventNotification(DecodeTaggedList(Notification(DateTimeStamp(), cov, 2)));
  EXPECT_TRUE(n.HasChangedValue);
  EXPECT_DOUBLE_EQ(n.ChangedValue, 21.25);
  EXPECT_FALSE(n.HasChangedBits);

  const std::string limit = EncodeOpeningTag(4) + EncodeReal(2, 0, 19.5) +
                            EncodeBitString(2, 1, "0000") + EncodeReal(2, 2, 20) +
                            EncodeReal(2, 3, 1) + EncodeClosingTag(4);
  n = DecodeEventNotification(DecodeTaggedList(Notification(DateTimeStamp(), limit, 4)));
  EXPECT_TRUE(n.HasReferenceValue);
  EXPECT_DOUBLE_EQ(n.ReferenceValue, 19.5);
}

TEST(DeviceEvents, OnlyTheDateTimeStampCounts) {
  // Time stamp as a sequence number: both parts empty, date-time zero.
  TEventNotification n = DecodeEventNotification(
      DecodeTaggedList(Notification(EncodeUnsigned(2, 1, 42), OutOfRange(1))));
  EXPECT_TRUE(n.TimeStampDate.empty());
  EXPECT_TRUE(n.TimeStampTime.empty());
  EXPECT_EQ(n.TimeStamp, 0);
  // Not a list at all, or cut short: zero values, no throw.
  n = DecodeEventNotification(Variant(int32_t(1)));
  EXPECT_EQ(n.ProcessIdentifier, 0u);
  const std::string full = Notification(DateTimeStamp(), OutOfRange(1));
  for (size_t cut = 0; cut < full.size(); ++cut)
    EXPECT_NO_THROW(DecodeEventNotification(DecodeTaggedList(full.substr(0, cut))));
}

TEST(DeviceEvents, AcknowledgementRepeatsTheStampAndAddsTheTimeOfAcknowledgement) {
  double now = 0;
  ASSERT_TRUE(TryEncodeDate(2026, 12, 9, now));
  double t = 0;
  ASSERT_TRUE(TryEncodeTime(7, 5, 3, 0, t));
  now += t;
  const std::string d = EncodeAcknowledgeAlarm(
      {77, 0, 3, 3, kDate + kTime, "operator", DateToBACnetDate(now) + TimeToBACnetTime(now)});
  const std::string expected =
      Bytes({0x09, 77, 0x1C, 0x00, 0x00, 0x00, 0x03, 0x29, 0x03, 0x3E, 0x2E, 0xA4}) + kDate +
      Bytes({0xB4}) + kTime + Bytes({0x2F, 0x3F, 0x4D, 0x09, 0x00}) + "operator" +
      Bytes({0x5E, 0x2E, 0xA4, 126, 12, 9, 3, 0xB4, 7, 5, 3, 0, 0x2F, 0x5F});
  EXPECT_EQ(d, expected);
}

TEST(DeviceEvents, ReceivedNotificationsReachTheOwnerUnanswered) {
  DeviceStack s;
  ASSERT_TRUE(s.Open());
  std::vector<TEventNotification> got;
  s.dev.OnNotificationReceived = [&](void*, const TBACnetPDU& pdu) {
    EXPECT_EQ(pdu.SourceAddress.str(), kPeerMac);
    EXPECT_EQ(pdu.SourceNetwork, 7);
    got.push_back(DecodeEventNotification(pdu.Values));
  };
  const std::string data = Notification(DateTimeStamp(), OutOfRange(85.5));
  s.net.Receive(Bytes({0x10, 0x03}) + data, kPeerMac, 7);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].ProcessIdentifier, 77u);
  EXPECT_TRUE(s.net.sent.empty());
  // A confirmed notification is not handled: no event, and rejected at once as a service
  // this device does not execute.
  s.net.Receive(Bytes({0x00, 0x05, 0x01, 0x02}) + data);
  EXPECT_EQ(got.size(), 1u);
  ASSERT_EQ(s.net.sent.size(), 1u);
  EXPECT_EQ(s.net.sent[0].octets, Bytes({0x60, 0x01, 0x09}));
  s.net.sent.clear();
  // A throwing owner does not break the stack.
  s.dev.OnNotificationReceived = [](void*, const TBACnetPDU&) { throw std::runtime_error("x"); };
  EXPECT_NO_THROW(s.net.Receive(Bytes({0x10, 0x03}) + data));
}

TEST(DeviceEvents, AcknowledgeAlarmSucceedsOnlyOnASimpleAck) {
  DeviceStack s;
  // Not open: nothing can be sent.
  EXPECT_FALSE(s.dev.AcknowledgeAlarmSync({77, 0, 3, 3, kDate + kTime, "op", ""}, 0, kPeerMac));
  ASSERT_TRUE(s.Open());
  int reply = 0;
  s.net.on_send = [&](const SentAPDU& a) {
    if (a.pdu.PDUType != 0) return;
    s.AnswerLater([&](int id) { return reply == 0 ? SimpleAck(id, 0) : ErrorPDU(id, 0, 5, 0); });
  };
  EXPECT_TRUE(s.dev.AcknowledgeAlarmSync({77, 0, 3, 3, kDate + kTime, "op", ""}, 0, kPeerMac));
  const TBACnetPDU& p = s.net.sent[0].pdu;
  EXPECT_EQ(p.ServiceChoice, 0);
  EXPECT_EQ(p.DestinationAddress.str(), kPeerMac);
  EXPECT_EQ(p.ServiceData.substr(0, 12),
            Bytes({0x09, 77, 0x1C, 0x00, 0x00, 0x00, 0x03, 0x29, 0x03, 0x3E, 0x2E, 0xA4}));
  reply = 1;
  EXPECT_FALSE(s.dev.AcknowledgeAlarmSync({77, 0, 3, 3, kDate + kTime, "op", ""}, 0, kPeerMac));
}

}  // namespace
}  // namespace zb::bacnet::devtest
