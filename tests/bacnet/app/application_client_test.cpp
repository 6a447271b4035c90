// Client transactions: invoke IDs, matching of answers, retries and their timing, and the
// reassembly of segmented complex ACKs.
#include <gtest/gtest.h>

#include "bacnet/app/tsm.h"
#include "octets.h"
#include "scripted_network.h"

namespace zb::bacnet::test {
namespace {

using ClientTest = AppTest;

TEST_F(ClientTest, InvokeIDsRunFromTwoThroughTwoFiftyFiveThenOneNeverZero) {
  std::vector<int> handles;
  for (int i = 0; i < 600; ++i) {
    const int h = app.SendRequest(Request(4));
    ASSERT_GT(h, 0);
    handles.push_back(h);
    ASSERT_EQ(net.sent.back().pdu.InvokeID, h);
    net.Receive(Answer(kPDUSimpleAck, h));  // ends it, so the table stays small
  }
  EXPECT_EQ(handles[0], 2);
  EXPECT_EQ(handles[253], 255);
  EXPECT_EQ(handles[254], 1);
  EXPECT_EQ(handles[255], 2);
  for (int h : handles) EXPECT_NE(h, 0);
  EXPECT_EQ(up.size(), 600u);
  EXPECT_LE(app.TransactionCount(), 1);
}

TEST_F(ClientTest, UnsegmentedRequestCarriesTheLinksMaxAPDUCode) {
  net.max_apdu_code = 4;
  // With its four header octets exactly MaxAPDULength: still one APDU.
  const int h = app.SendRequest(Request(476));
  ASSERT_EQ(net.sent.size(), 1u);
  const SentAPDU& s = net.sent[0];
  EXPECT_EQ(s.apdu.size(), 480u);
  EXPECT_EQ(static_cast<uint8_t>(s.apdu[0]), 0x00);
  EXPECT_EQ(static_cast<uint8_t>(s.apdu[1]), 0x74);
  EXPECT_EQ(static_cast<uint8_t>(s.apdu[2]), h);
  EXPECT_EQ(static_cast<uint8_t>(s.apdu[3]), 12);
  EXPECT_EQ(s.apdu.substr(4), Pattern(476));
  EXPECT_TRUE(s.pdu.ExpectingReply);
  EXPECT_EQ(s.pdu.DestinationAddress, kPeer);
  // One octet more is segmented, each segment's six header octets counted in the limit.
  app.SendRequest(Request(477));
  ASSERT_EQ(net.sent.size(), 2u);
  EXPECT_TRUE(net.sent[1].pdu.SegmentedMessage);
  EXPECT_EQ(net.sent[1].apdu.size(), 480u);
  EXPECT_EQ(net.sent[1].pdu.ServiceData, Pattern(474));
}

TEST_F(ClientTest, UnansweredRequestIsSentFourTimesThenTheDeviceGetsALocalError) {
  std::vector<int64_t> sent_at;
  net.responder = [&](const SentAPDU&) { sent_at.push_back(clock.NowMs()); };
  const int64_t t0 = clock.NowMs();
  const int h = app.SendRequest(Request(10));
  Tick(123);
  EXPECT_TRUE(up.empty());
  ASSERT_EQ(sent_at.size(), 4u);
  // Started at 1 and grown by 100 a tick, the timer passes 3100 on the 31st tick.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sent_at[i] - t0, 3100 * i) << i;
  for (const SentAPDU& s : net.sent) {
    EXPECT_EQ(s.pdu.InvokeID, h);
    EXPECT_FALSE(s.pdu.SegmentedMessage);
    EXPECT_EQ(s.pdu.ServiceData, Pattern(10));
  }
  Tick(1);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUError);
  EXPECT_EQ(up[0].ErrorClass, 0);
  EXPECT_EQ(up[0].ErrorCode, 0);
  EXPECT_EQ(up[0].TransactionHandle, h);
  EXPECT_TRUE(failed.empty());
  Tick(300);
  EXPECT_EQ(up.size(), 1u);
  EXPECT_EQ(net.sent.size(), 4u);
  EXPECT_EQ(app.FindTransaction(h), nullptr);
}

TEST_F(ClientTest, OnlyTheRightPeerAndInvokeIDMatch) {
  const int h = app.SendRequest(Request(4));
  net.Take();
  TBACnetPDU ack = Answer(kPDUComplexAck, h);
  ack.ServiceData = Octets("0C 00 00 00 05");

  net.Receive(Answer(kPDUComplexAck, h + 1));                    // other invoke ID: dropped
  net.Receive(ack, std::string("\x0A\x00\x00\x09\xBA\xC0", 6));  // other peer: dropped
  EXPECT_TRUE(up.empty());
  EXPECT_TRUE(net.sent.empty());

  // A stray segmented complex ACK and a stray segment ACK are aborted, both from the
  // client's side: the complex ACK came from a server, the segment ACK says so.
  net.Receive(Segment(kPDUComplexAck, h + 1, Pattern(100), 50, 0, 2));
  net.Receive(SegmentAck(h + 2, 0, 1, true));
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort);
  EXPECT_EQ(sent[0].pdu.InvokeID, h + 1);
  EXPECT_FALSE(sent[0].pdu.Server);
  EXPECT_EQ(sent[0].pdu.ErrorCode, 0);
  EXPECT_EQ(sent[0].pdu.DestinationAddress, kPeer);
  EXPECT_EQ(sent[1].pdu.PDUType, kPDUAbort);
  EXPECT_EQ(sent[1].pdu.InvokeID, h + 2);
  EXPECT_FALSE(sent[1].pdu.Server);

  net.Receive(ack);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUComplexAck);
  EXPECT_EQ(up[0].TransactionHandle, h);
  ASSERT_TRUE(up[0].Values.IsArray());
  EXPECT_EQ(up[0].Values.Count(), 1);
  // Answered: a second copy finds nothing.
  net.Receive(ack);
  EXPECT_EQ(up.size(), 1u);
}

TEST_F(ClientTest, ErrorsAndRejectsAreDeliveredAbortsAreFailures) {
  const int h1 = app.SendRequest(Request(4));
  const int h2 = app.SendRequest(Request(4));
  const int h3 = app.SendRequest(Request(4));
  TBACnetPDU err = Answer(kPDUError, h1);
  err.ErrorClass = 2;
  err.ErrorCode = 32;
  net.Receive(err);
  TBACnetPDU rej = Answer(kPDUReject, h2);
  rej.ErrorCode = 9;
  net.Receive(rej);
  net.Receive(Abort(h3, false));  // not from a server: ignored
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(up[0].ErrorClass, 2);
  EXPECT_EQ(up[0].ErrorCode, 32);
  EXPECT_EQ(up[0].TransactionHandle, h1);
  EXPECT_EQ(up[1].PDUType, kPDUReject);
  EXPECT_EQ(up[1].TransactionHandle, h2);
  EXPECT_TRUE(failed.empty());
  net.Receive(Abort(h3, true, 4));
  EXPECT_EQ(failed, std::vector<int>{h3});
  EXPECT_EQ(up.size(), 2u);
  Tick(500);
  EXPECT_EQ(up.size(), 2u);  // nothing left to time out
}

TEST_F(ClientTest, RequestsThatCannotGoReturnMinusOne) {
  TBACnetPDU u;
  u.PDUType = kPDUUnconfirmedRequest;
  u.ServiceChoice = 8;
  u.ExpectingReply = true;
  u.Values = Variant::MakeList({Variant::MakeList({1, 2, 5})});  // unsigned 5
  EXPECT_EQ(app.SendRequest(u), 0);
  ASSERT_EQ(net.sent.size(), 1u);
  EXPECT_FALSE(net.sent[0].pdu.ExpectingReply);
  EXPECT_EQ(ToHex(net.sent[0].apdu), "10 08 21 05");

  u.Values = Variant("");
  u.ServiceData.assign(2048, 'x');
  EXPECT_EQ(app.SendRequest(u), -1);
  TBACnetPDU other = Request(4);
  other.PDUType = kPDUSimpleAck;
  EXPECT_EQ(app.SendRequest(other), -1);
  EXPECT_EQ(net.sent.size(), 1u);

  app.Network = nullptr;
  EXPECT_EQ(app.SendRequest(Request(4)), -1);
  EXPECT_EQ(app.MaxAPDULength(), 0);
  EXPECT_EQ(app.TransactionCount(), 0);
}

// ---- segmented complex ACKs ---------------------------------------------------------------

class SegmentedConfirmationTest : public AppTest {
 protected:
  void SetUp() override {
    handle = app.SendRequest(Request(4));
    net.Take();
  }
  void Send(int k, int window = 3) {
    net.Receive(Segment(kPDUComplexAck, handle, data, 100, k, window));
  }
  std::vector<int> AckedSequences(bool* negative = nullptr) {
    std::vector<int> out;
    for (const SentAPDU& s : net.Take()) {
      EXPECT_EQ(s.pdu.PDUType, kPDUSegmentAck);
      EXPECT_FALSE(s.pdu.Server);
      EXPECT_EQ(s.pdu.InvokeID, handle);
      if (negative) *negative = s.pdu.NegativeAck;
      out.push_back(s.pdu.SequenceNumber);
    }
    return out;
  }
  int handle = 0;
  std::string data = Pattern(1000, 3);  // ten segments of 100
};

TEST_F(SegmentedConfirmationTest, ReassemblesSeveralWindows) {
  for (int k = 0; k < 10; ++k) Send(k);
  EXPECT_EQ(AckedSequences(), (std::vector<int>{0, 3, 6, 9}));
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUComplexAck);
  EXPECT_EQ(up[0].TransactionHandle, handle);
  EXPECT_EQ(up[0].ServiceData, data);
  EXPECT_EQ(up[0].SourceAddress, kPeer);
  EXPECT_EQ(app.FindTransaction(handle), nullptr);
}

TEST_F(SegmentedConfirmationTest, WindowIsCutToTheLinksLimit) {
  net.window_limit = 2;
  Send(0, 5);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.ActualWindowSize, 2);
  for (int k = 1; k < 10; ++k) Send(k, 5);
  EXPECT_EQ(AckedSequences(), (std::vector<int>{2, 4, 6, 8, 9}));
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].ServiceData, data);
}

TEST_F(SegmentedConfirmationTest, LostAndDuplicatedSegmentsAreNegativelyAcknowledged) {
  Send(0);
  Send(1);
  EXPECT_EQ(AckedSequences(), std::vector<int>{0});
  Send(3);  // 2 was lost
  bool negative = false;
  EXPECT_EQ(AckedSequences(&negative), std::vector<int>{1});
  EXPECT_TRUE(negative);
  Send(1);  // a duplicate is out of order too
  EXPECT_EQ(AckedSequences(&negative), std::vector<int>{1});
  EXPECT_TRUE(negative);
  // The peer resends from 2: a full window from there is acknowledged at its end.
  for (int k = 2; k < 10; ++k) Send(k);
  EXPECT_EQ(AckedSequences(&negative), (std::vector<int>{4, 7, 9}));
  EXPECT_FALSE(negative);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].ServiceData, data);
}

TEST_F(SegmentedConfirmationTest, SequenceNumbersWrapPastTwoFiftyFive) {
  data = Pattern(300 * 10, 5);
  for (int k = 0; k < 300; ++k) net.Receive(Segment(kPDUComplexAck, handle, data, 10, k, 127));
  // Windows of 127 end at absolute 127, 254, 381 (past the last), so the ACKs read 0, 127,
  // 254 and the final segment's 299 mod 256.
  EXPECT_EQ(AckedSequences(), (std::vector<int>{0, 127, 254, 43}));
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].ServiceData, data);
}

TEST_F(SegmentedConfirmationTest, SilencedTransferEndsWithALocalError) {
  Send(0);
  net.Take();
  Tick(80);  // 4 × 2000 + 100 is passed on the 81st tick
  EXPECT_TRUE(up.empty());
  Tick(1);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUError);
  EXPECT_EQ(up[0].TransactionHandle, handle);
  EXPECT_TRUE(net.sent.empty());
  Tick(200);
  EXPECT_EQ(up.size(), 1u);
}

TEST_F(SegmentedConfirmationTest, UnexpectedAnswerMidTransferIsAbortedAndReported) {
  Send(0);
  net.Take();
  net.Receive(Answer(kPDUSimpleAck, handle));
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort);
  EXPECT_FALSE(sent[0].pdu.Server);
  EXPECT_EQ(sent[0].pdu.InvokeID, handle);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUError);
  EXPECT_EQ(app.FindTransaction(handle), nullptr);
}

TEST_F(SegmentedConfirmationTest, FirstSegmentOtherThanZeroIsAborted) {
  Send(1);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUError);
}

TEST_F(SegmentedConfirmationTest, ReassemblyBeyondTheLimitIsAbortedAsBufferOverflow) {
  const int size = 1400;
  const int count = static_cast<int>(kMaxReassembledLength / size) + 2;
  data = Pattern(static_cast<size_t>(size) * count);
  for (int k = 0; k < count && up.empty(); ++k)
    net.Receive(Segment(kPDUComplexAck, handle, data, size, k, 127));
  auto sent = net.Take();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().pdu.PDUType, kPDUAbort);
  EXPECT_EQ(sent.back().pdu.ErrorCode, kAbortBufferOverflow);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUError);
  EXPECT_EQ(app.FindTransaction(handle), nullptr);
}

TEST_F(ClientTest, TruncatedAndUndefinedAPDUsLeaveTheTransactionAlone) {
  const int h = app.SendRequest(Request(4));
  net.Take();
  for (const char* hex : {"30", "30 02", "3C 02 00 01", "50 02 0C 91 00 91", "40 02 00", "71 02",
                          "20 02", "60", "F0 02 0C", "80"})
    net.Receive(Octets(hex));
  EXPECT_TRUE(up.empty());
  EXPECT_TRUE(failed.empty());
  EXPECT_TRUE(net.sent.empty());
  ASSERT_NE(app.FindTransaction(h), nullptr);
  EXPECT_EQ(app.FindTransaction(h)->State, tsAwaitConfirmation);
  net.Receive(Answer(kPDUSimpleAck, h));
  EXPECT_EQ(up.size(), 1u);
}

}  // namespace
}  // namespace zb::bacnet::test
