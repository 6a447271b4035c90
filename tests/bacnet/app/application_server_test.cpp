// Server transactions: confirmed requests from peers delivered to the device, its answers, the
// time-out of an unanswered request, and the reassembly of segmented requests.
#include <gtest/gtest.h>

#include "bacnet/app/tsm.h"
#include "octets.h"
#include "scripted_network.h"

namespace zb::bacnet::test {
namespace {

using ServerTest = AppTest;

TBACnetPDU ReadProperty(int invoke) {
  TBACnetPDU req = Answer(kPDUConfirmedRequest, invoke);
  req.ExpectingReply = true;
  req.MaxAPDU = 1476;
  req.ServiceData = Octets("0C 02 00 00 01 19 4C");
  return req;
}

TEST_F(ServerTest, RequestIsDeliveredWithAFreshHandleAndDecodedValues) {
  net.Receive(ReadProperty(0x55));
  ASSERT_EQ(up.size(), 1u);
  const TBACnetPDU& r = up[0];
  EXPECT_EQ(r.PDUType, kPDUConfirmedRequest);
  EXPECT_EQ(r.TransactionHandle, TBACnetApplication::kFirstServerHandle);
  EXPECT_EQ(r.InvokeID, 0x55);
  EXPECT_EQ(r.ServiceChoice, 12);
  EXPECT_EQ(r.SourceAddress, kPeer);
  ASSERT_TRUE(r.Values.IsArray());
  EXPECT_EQ(r.Values.Count(), 2);
  // Our own requests count apart from peers' requests.
  EXPECT_EQ(app.SendRequest(Request(4)), 2);
}

TEST_F(ServerTest, SimpleAckGoesBackToTheRequesterOnce) {
  TBACnetPDU req = ReadProperty(0x10);
  req.ServiceChoice = 15;
  net.Receive(req);
  const int h = up[0].TransactionHandle;
  app.SendSimpleAck(h);
  app.SendSimpleAck(h);
  TBACnetPDU resp = up[0];
  app.SendComplexAck(h, resp);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ToHex(sent[0].apdu), "20 10 0F");
  EXPECT_FALSE(sent[0].pdu.ExpectingReply);
  EXPECT_EQ(sent[0].pdu.DestinationAddress, kPeer);
  EXPECT_EQ(sent[0].pdu.SourceAddress, kMe);
  app.SendSimpleAck(77);  // no such handle
  EXPECT_TRUE(net.sent.empty());
}

TEST_F(ServerTest, UnansweredRequestIsAbortedAndReported) {
  net.Receive(ReadProperty(0x11));
  const int h = up[0].TransactionHandle;
  Tick(30);
  EXPECT_TRUE(net.sent.empty());
  Tick(1);  // APDU time-out + 100 passed
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ToHex(sent[0].apdu), "71 11 00");
  EXPECT_FALSE(sent[0].pdu.ExpectingReply);
  EXPECT_EQ(sent[0].pdu.DestinationAddress, kPeer);
  EXPECT_EQ(failed, std::vector<int>{h});
  app.SendSimpleAck(h);  // too late
  EXPECT_TRUE(net.sent.empty());
}

TEST_F(ServerTest, RepeatedRequestWhileAnsweringIsIgnoredAndClientAbortFails) {
  net.Receive(ReadProperty(0x12));
  net.Receive(ReadProperty(0x12));
  EXPECT_EQ(up.size(), 1u);
  EXPECT_TRUE(net.sent.empty());
  net.Receive(Abort(0x12, true));  // from a server: stray, not for this transaction
  EXPECT_TRUE(failed.empty());
  net.Receive(Abort(0x12, false));
  EXPECT_EQ(failed, std::vector<int>{up[0].TransactionHandle});
}

TEST_F(ServerTest, SegmentAckWhileAnsweringIsAborted) {
  net.Receive(ReadProperty(0x13));
  net.Receive(SegmentAck(0x13, 0, 1, false));
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ToHex(sent[0].apdu), "71 13 00");
  EXPECT_EQ(failed, std::vector<int>{up[0].TransactionHandle});
}

TEST_F(ServerTest, RequestAndAnswerWithTheSameInvokeIDDoNotMix) {
  // Our request gets invoke ID 2; the peer happens to use 2 for its own request to us.
  const int h = app.SendRequest(Request(4));
  ASSERT_EQ(h, 2);
  net.Take();
  net.Receive(ReadProperty(2));
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUConfirmedRequest);
  const int server_handle = up[0].TransactionHandle;
  EXPECT_NE(server_handle, h);
  net.Receive(Answer(kPDUSimpleAck, 2));
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(up[1].PDUType, kPDUSimpleAck);
  EXPECT_EQ(up[1].TransactionHandle, h);
  app.SendSimpleAck(server_handle);
  EXPECT_EQ(net.Take().size(), 1u);
}

TEST_F(ServerTest, UnconfirmedRequestsBypassTransactions) {
  net.Receive(ReadProperty(0));  // a server transaction with invoke ID 0 from that peer
  TBACnetPDU iam = Answer(kPDUUnconfirmedRequest, 0, 0);
  iam.ServiceData = Octets("C4 02 00 00 05 22 01 E0 91 00 21 07");
  net.Receive(iam);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(up[1].PDUType, kPDUUnconfirmedRequest);
  EXPECT_EQ(up[1].TransactionHandle, 0);
  EXPECT_EQ(up[1].Values.Count(), 4);
}

// ---- segmented requests ---------------------------------------------------------------------

class SegmentedRequestTest : public AppTest {
 protected:
  void Send(int k, int window = 2, int invoke = 0x44) {
    net.Receive(Segment(kPDUConfirmedRequest, invoke, data, 100, k, window, 14));
  }
  std::vector<int> Acks(bool* negative = nullptr) {
    std::vector<int> out;
    for (const SentAPDU& s : net.Take()) {
      EXPECT_EQ(s.pdu.PDUType, kPDUSegmentAck);
      EXPECT_TRUE(s.pdu.Server);
      EXPECT_EQ(s.pdu.DestinationAddress, kPeer);
      if (negative) *negative = s.pdu.NegativeAck;
      out.push_back(s.pdu.SequenceNumber);
    }
    return out;
  }
  std::string data = Pattern(600, 1);  // six segments of 100
};

TEST_F(SegmentedRequestTest, ReassemblesAndDeliversOnce) {
  for (int k = 0; k < 6; ++k) Send(k);
  EXPECT_EQ(Acks(), (std::vector<int>{0, 2, 4, 5}));
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUConfirmedRequest);
  EXPECT_EQ(up[0].ServiceChoice, 14);
  EXPECT_EQ(up[0].InvokeID, 0x44);
  EXPECT_EQ(up[0].ServiceData, data);
  EXPECT_TRUE(up[0].SegmentedResponseAccepted);
  EXPECT_EQ(up[0].MaxSegments, 7);
  EXPECT_EQ(up[0].MaxAPDU, 1476);
  // A repeated segment while the device answers gets the last ACK again.
  Send(5);
  EXPECT_EQ(Acks(), std::vector<int>{5});
  EXPECT_EQ(up.size(), 1u);
  app.SendSimpleAck(up[0].TransactionHandle);
  EXPECT_EQ(net.Take().size(), 1u);
}

TEST_F(SegmentedRequestTest, OutOfOrderSegmentGetsANegativeAck) {
  Send(0);
  Send(2);  // 1 missing
  bool negative = false;
  EXPECT_EQ(Acks(&negative), (std::vector<int>{0, 0}));
  EXPECT_TRUE(negative);
  for (int k = 1; k < 6; ++k) Send(k);
  EXPECT_EQ(Acks(&negative), (std::vector<int>{2, 4, 5}));
  EXPECT_FALSE(negative);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].ServiceData, data);
}

TEST_F(SegmentedRequestTest, FirstSegmentOtherThanZeroIsAborted) {
  Send(3);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ToHex(sent[0].apdu), "71 44 00");
  EXPECT_TRUE(up.empty());
  EXPECT_EQ(app.FindTransaction(TBACnetApplication::kFirstServerHandle), nullptr);
}

TEST_F(SegmentedRequestTest, StalledTransferIsDroppedSilently) {
  Send(0);
  Send(1);
  net.Take();
  Tick(81);
  EXPECT_TRUE(up.empty());
  EXPECT_TRUE(failed.empty());
  EXPECT_TRUE(net.sent.empty());
  EXPECT_EQ(app.FindTransaction(TBACnetApplication::kFirstServerHandle), nullptr);
  // Out-of-order segments do not keep it alive either.
  Send(0, 2, 0x45);
  for (int i = 0; i < 100; ++i) {
    Send(3, 2, 0x45);
    Tick(1);
  }
  EXPECT_EQ(app.FindTransaction(TBACnetApplication::kFirstServerHandle + 1), nullptr);
}

TEST_F(SegmentedRequestTest, UnsegmentedRequestOrClientAbortEndsTheTransfer) {
  Send(0);
  net.Take();
  net.Receive(ReadProperty(0x44));
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ToHex(sent[0].apdu), "71 44 00");
  EXPECT_TRUE(up.empty());

  Send(0, 2, 0x46);
  net.Take();
  net.Receive(Abort(0x46, false));
  EXPECT_TRUE(net.sent.empty());
  EXPECT_TRUE(failed.empty());
  Send(1, 2, 0x46);  // the transfer is gone: a later segment opens nothing usable
  EXPECT_TRUE(up.empty());
}

TEST_F(SegmentedRequestTest, OversizedRequestIsAbortedAsBufferOverflow) {
  const int size = 1400;
  const int count = static_cast<int>(app.MaxServerRequestLength() / size) + 2;
  data = Pattern(static_cast<size_t>(size) * count);
  std::vector<SentAPDU> sent;
  for (int k = 0; k < count; ++k) {
    net.Receive(Segment(kPDUConfirmedRequest, 0x47, data, size, k, 127));
    for (auto& s : net.Take()) sent.push_back(s);
    if (!sent.empty() && sent.back().pdu.PDUType == kPDUAbort) break;
  }
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().pdu.PDUType, kPDUAbort);
  EXPECT_TRUE(sent.back().pdu.Server);
  EXPECT_EQ(sent.back().pdu.ErrorCode, kAbortBufferOverflow);
  EXPECT_TRUE(up.empty());
  EXPECT_EQ(app.FindTransaction(TBACnetApplication::kFirstServerHandle), nullptr);
}

}  // namespace
}  // namespace zb::bacnet::test
