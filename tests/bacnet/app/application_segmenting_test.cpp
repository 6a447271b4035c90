// Sending segmented messages: requests (client) and complex ACKs (server), with windows,
// positive, negative and duplicate segment ACKs, time-outs and sequence wrap.
#include <gtest/gtest.h>

#include "bacnet/app/tsm.h"
#include "octets.h"
#include "scripted_network.h"

namespace zb::bacnet::test {
namespace {

struct Seg {
  int seq;
  bool more;
};

std::vector<Seg> Segments(const std::vector<SentAPDU>& sent, int type) {
  std::vector<Seg> out;
  for (const SentAPDU& s : sent) {
    EXPECT_EQ(s.pdu.PDUType, type);
    EXPECT_TRUE(s.pdu.SegmentedMessage);
    EXPECT_TRUE(s.pdu.ExpectingReply);
    out.push_back({s.pdu.SequenceNumber, s.pdu.MoreFollows});
  }
  return out;
}

std::vector<int> Seqs(const std::vector<SentAPDU>& sent) {
  std::vector<int> out;
  for (const Seg& s : Segments(sent, sent.empty() ? 0 : sent[0].pdu.PDUType)) out.push_back(s.seq);
  return out;
}

class SegmentingRequestTest : public AppTest {
 protected:
  void SetUp() override {
    net.max_apdu = 50;
    request = Request(440);  // ten segments of 44 beside their six header octets
    request.SegmentedResponseAccepted = true;
    handle = app.SendRequest(request);
  }
  void Ack(int seq, int window = 3, bool negative = false) {
    net.Receive(SegmentAck(handle, seq, window, true, negative));
  }
  TBACnetPDU request;
  int handle = 0;
};

TEST_F(SegmentingRequestTest, SendsSeveralWindowsThenAwaitsTheAnswer) {
  ASSERT_GT(handle, 0);
  auto first = net.Take();
  ASSERT_EQ(first.size(), 1u);
  const TBACnetPDU& s0 = first[0].pdu;
  EXPECT_EQ(s0.PDUType, kPDUConfirmedRequest);
  EXPECT_TRUE(s0.SegmentedMessage && s0.MoreFollows && s0.SegmentedResponseAccepted);
  EXPECT_EQ(s0.SequenceNumber, 0);
  EXPECT_EQ(s0.ProposedWindowSize, 10);
  EXPECT_EQ(s0.InvokeID, handle);
  EXPECT_EQ(s0.ServiceChoice, 12);
  EXPECT_EQ(s0.DestinationAddress, kPeer);
  EXPECT_EQ(first[0].apdu.size(), 50u);
  std::string collected = s0.ServiceData;

  Ack(0);
  auto w1 = net.Take();
  EXPECT_EQ(Seqs(w1), (std::vector<int>{1, 2, 3}));
  Ack(3);
  auto w2 = net.Take();
  EXPECT_EQ(Seqs(w2), (std::vector<int>{4, 5, 6}));
  Ack(6);
  auto w3 = net.Take();
  auto segs = Segments(w3, kPDUConfirmedRequest);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(segs[2].seq, 9);
  EXPECT_FALSE(segs[2].more);
  EXPECT_TRUE(segs[1].more);
  for (auto* w : {&w1, &w2, &w3})
    for (const SentAPDU& s : *w) collected += s.pdu.ServiceData;
  EXPECT_EQ(collected, request.ServiceData);

  Ack(9);
  EXPECT_TRUE(net.sent.empty());
  EXPECT_EQ(app.FindTransaction(handle)->State, tsAwaitConfirmation);
  TBACnetPDU ack = Answer(kPDUComplexAck, handle);
  ack.ServiceData = Octets("21 07");
  net.Receive(ack);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].TransactionHandle, handle);
}

TEST_F(SegmentingRequestTest, ProposedWindowFollowsTheLinksLimit) {
  net.Take();
  net.window_limit = 4;
  const int h = app.SendRequest(request);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.ProposedWindowSize, 4);
  // An accepted window larger than the limit is cut as well.
  net.Receive(SegmentAck(h, 0, 100, true));
  EXPECT_EQ(net.Take().size(), 4u);
}

TEST_F(SegmentingRequestTest, DuplicateAckOnlyRestartsTheSegmentTimer) {
  net.Take();
  Ack(0);
  net.Take();
  Tick(15);
  Ack(0);  // outside the window 1..3
  EXPECT_TRUE(net.sent.empty());
  Tick(20);
  EXPECT_TRUE(net.sent.empty());
  Tick(1);  // 2000 + 100 passed 21 ticks after the restart
  EXPECT_EQ(Seqs(net.Take()), (std::vector<int>{1, 2, 3}));
}

TEST_F(SegmentingRequestTest, NegativeAckInTheLastWindowResendsTheRest) {
  net.Take();
  Ack(0, 9);
  EXPECT_EQ(net.Take().size(), 9u);  // everything is out now
  Ack(4, 9, true);
  EXPECT_EQ(Seqs(net.Take()), (std::vector<int>{5, 6, 7, 8, 9}));
  EXPECT_EQ(app.FindTransaction(handle)->State, tsSegmentingRequest);
  Ack(9, 9);
  EXPECT_EQ(app.FindTransaction(handle)->State, tsAwaitConfirmation);
}

TEST_F(SegmentingRequestTest, UnacknowledgedWindowIsResentThenTheTransactionFails) {
  net.Take();
  for (int retry = 0; retry < 3; ++retry) {
    Tick(20);
    EXPECT_TRUE(net.sent.empty());
    Tick(1);
    EXPECT_EQ(Seqs(net.Take()), std::vector<int>{0}) << retry;
  }
  Tick(21);
  EXPECT_EQ(failed, std::vector<int>{handle});
  EXPECT_TRUE(up.empty());
  EXPECT_TRUE(net.sent.empty());
  EXPECT_EQ(app.FindTransaction(handle), nullptr);
}

TEST_F(SegmentingRequestTest, TimeOutRestartsFromSegmentZeroAndAnEarlyAnswerIsAborted) {
  net.Take();
  Ack(0, 9);
  Ack(9, 9);
  net.Take();
  Tick(31);  // the request timer runs out: the whole request again
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.SequenceNumber, 0);
  EXPECT_TRUE(sent[0].pdu.SegmentedMessage);
  EXPECT_EQ(app.FindTransaction(handle)->State, tsSegmentingRequest);
  EXPECT_EQ(app.FindTransaction(handle)->RetryCount, 1);
  // An answer before the last segment went out again cannot belong to this attempt.
  net.Receive(Answer(kPDUSimpleAck, handle));
  sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort);
  EXPECT_FALSE(sent[0].pdu.Server);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].PDUType, kPDUError);
  EXPECT_EQ(up[0].TransactionHandle, handle);
}

TEST_F(SegmentingRequestTest, AbortFromTheServerFails) {
  net.Take();
  net.Receive(Abort(handle, true, 4));
  EXPECT_EQ(failed, std::vector<int>{handle});
  Tick(100);
  EXPECT_TRUE(net.sent.empty());
}

TEST_F(AppTest, SegmentedRequestOfMoreThan256SegmentsWrapsItsSequenceNumbers) {
  net.max_apdu = 50;
  TBACnetPDU request = Request(44 * 300);
  const int h = app.SendRequest(request);
  std::string collected;
  std::vector<int> seqs;
  auto take = [&] {
    for (const SentAPDU& s : net.Take()) {
      collected += s.pdu.ServiceData;
      seqs.push_back(s.pdu.SequenceNumber);
    }
  };
  take();
  EXPECT_EQ(seqs.back(), 0);
  int last = 0;  // sequence number of the last segment received
  for (int round = 0; seqs.size() < 300 && round < 300; ++round) {
    net.Receive(SegmentAck(h, last, 100, true));
    take();
    last = seqs.back();
  }
  net.Receive(SegmentAck(h, last, 100, true));
  take();
  EXPECT_EQ(seqs.size(), 300u);
  EXPECT_EQ(collected, request.ServiceData);
  for (size_t i = 0; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], static_cast<int>(i & 0xFF)) << i;
  EXPECT_EQ(app.FindTransaction(h)->State, tsAwaitConfirmation);
}

// ---- segmented complex ACKs (server) -------------------------------------------------------

class SegmentedResponseTest : public AppTest {
 protected:
  // A ReadProperty from the peer; the device answers with `length` octets.
  int Incoming(int max_apdu = 206, int max_segments = 7, bool accepted = true, int invoke = 0x21) {
    net.requester_max_apdu = max_apdu;
    TBACnetPDU req = Answer(kPDUConfirmedRequest, invoke);
    req.MaxAPDU = static_cast<uint16_t>(max_apdu);
    req.MaxSegments = static_cast<uint8_t>(max_segments);
    req.SegmentedResponseAccepted = accepted;
    req.ExpectingReply = true;
    req.ServiceData = Octets("0C 02 00 00 01 19 4C");
    const size_t before = up.size();
    net.Receive(req);
    EXPECT_EQ(up.size(), before + 1);
    return up.size() == before ? -1 : up.back().TransactionHandle;
  }
  // The answer as the device builds it: the request with swapped addressing and new data.
  void Respond(int handle, size_t length) {
    TBACnetPDU resp = up.back();
    SwapAddressInfo(resp);
    resp.Values = Variant("");
    resp.ServiceData = Pattern(length, 9);
    app.SendComplexAck(handle, resp);
  }
};

// The requester's 206 octets hold a complex ACK's three header octets and 203 of data, or a
// segment's five and 201.
TEST_F(SegmentedResponseTest, AnswerThatFitsGoesInOneComplexAck) {
  const int h = Incoming(206);
  Respond(h, 203);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].apdu.size(), 206u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUComplexAck);
  EXPECT_FALSE(sent[0].pdu.SegmentedMessage);
  EXPECT_FALSE(sent[0].pdu.ExpectingReply);
  EXPECT_EQ(sent[0].pdu.InvokeID, 0x21);
  EXPECT_EQ(sent[0].pdu.DestinationAddress, kPeer);
  EXPECT_EQ(sent[0].pdu.ServiceData, Pattern(203, 9));
  // Answered once: a second answer is ignored.
  Respond(h, 10);
  EXPECT_TRUE(net.sent.empty());
}

TEST_F(SegmentedResponseTest, OneOctetMoreNeedsTwoSegmentsOrAnAbort) {
  int h = Incoming(206);
  Respond(h, 204);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].pdu.SegmentedMessage);
  EXPECT_TRUE(sent[0].pdu.MoreFollows);
  EXPECT_EQ(sent[0].pdu.ProposedWindowSize, 2);
  EXPECT_EQ(sent[0].pdu.ServiceData.size(), 201u);
  EXPECT_EQ(sent[0].apdu.size(), 206u);
  net.Receive(SegmentAck(0x21, 0, 2, false));
  sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(sent[0].pdu.MoreFollows);
  EXPECT_EQ(sent[0].pdu.ServiceData, Pattern(204, 9).substr(201));

  h = Incoming(206, 7, false, 0x22);
  Respond(h, 204);
  sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort);
  EXPECT_TRUE(sent[0].pdu.Server);
  EXPECT_EQ(sent[0].pdu.ErrorCode, kAbortSegmentationNotSupported);
  EXPECT_EQ(sent[0].pdu.InvokeID, 0x22);
  EXPECT_EQ(sent[0].pdu.DestinationAddress, kPeer);
}

TEST_F(SegmentedResponseTest, TooManySegmentsForTheRequesterIsABufferOverflow) {
  app.MaxServerSegments = 200;  // the requester's limit is what is tested here
  struct Case {
    int code;
    size_t length;
    bool aborted;
  };
  // Code 0 leaves the number unspecified, so it takes any; code 2 takes up to 4 segments; code
  // 7 any number. A requester's 50 octets hold 47 in one complex ACK, 45 in a segment.
  const Case cases[] = {{0, 45 * 200, false}, {2, 45 * 4, false}, {2, 45 * 4 + 1, true},
                        {6, 45 * 64, false},  {6, 45 * 65, true}, {7, 45 * 200, false}};
  int invoke = 0x30;
  for (const Case& c : cases) {
    const int h = Incoming(50, c.code, true, invoke++);
    Respond(h, c.length);
    auto sent = net.Take();
    ASSERT_EQ(sent.size(), 1u);
    if (c.aborted) {
      EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort) << c.code << " " << c.length;
      EXPECT_TRUE(sent[0].pdu.Server);
      EXPECT_EQ(sent[0].pdu.ErrorCode, kAbortBufferOverflow);
    } else {
      EXPECT_EQ(sent[0].pdu.PDUType, kPDUComplexAck) << c.code << " " << c.length;
      EXPECT_TRUE(sent[0].pdu.SegmentedMessage);
    }
    up.clear();
  }
}

TEST_F(SegmentedResponseTest, SendsWindowsAsTheClientAcknowledges) {
  const int h = Incoming(206);
  Respond(h, 201 * 7);
  std::string collected = net.Take()[0].pdu.ServiceData;
  net.Receive(SegmentAck(0x21, 0, 3, false));
  auto w = net.Take();
  EXPECT_EQ(Seqs(w), (std::vector<int>{1, 2, 3}));
  for (const SentAPDU& s : w) {
    EXPECT_EQ(s.pdu.PDUType, kPDUComplexAck);
    EXPECT_EQ(s.pdu.InvokeID, 0x21);
    collected += s.pdu.ServiceData;
  }
  net.Receive(SegmentAck(0x21, 0, 3, false));  // duplicate of an older window: nothing
  EXPECT_TRUE(net.sent.empty());
  net.Receive(SegmentAck(0x21, 3, 3, true));  // from a server: stray, aborted, not ours
  auto stray = net.Take();
  ASSERT_EQ(stray.size(), 1u);
  EXPECT_EQ(stray[0].pdu.PDUType, kPDUAbort);
  EXPECT_FALSE(stray[0].pdu.Server);
  net.Receive(SegmentAck(0x21, 3, 3, false));
  w = net.Take();
  EXPECT_EQ(Seqs(w), (std::vector<int>{4, 5, 6}));
  EXPECT_FALSE(w.back().pdu.MoreFollows);
  for (const SentAPDU& s : w) collected += s.pdu.ServiceData;
  EXPECT_EQ(collected, Pattern(201 * 7, 9));
  net.Receive(SegmentAck(0x21, 6, 3, false));
  EXPECT_EQ(app.FindTransaction(h), nullptr);
  EXPECT_TRUE(failed.empty());
  Tick(200);
  EXPECT_TRUE(net.sent.empty());
}

TEST_F(SegmentedResponseTest, UnacknowledgedSegmentsAreResentThenDroppedSilently) {
  const int h = Incoming(206);
  Respond(h, 206 * 3);
  net.Take();
  Tick(21 * 3);
  EXPECT_EQ(Seqs(net.Take()), (std::vector<int>{0, 0, 0}));
  Tick(21);
  EXPECT_TRUE(net.sent.empty());
  EXPECT_EQ(app.FindTransaction(h), nullptr);
  EXPECT_TRUE(failed.empty());
}

TEST_F(SegmentedResponseTest, AbortFromTheClientOrARepeatedRequestEndsTheTransfer) {
  int h = Incoming(206);
  Respond(h, 206 * 3);
  net.Take();
  net.Receive(Abort(0x21, false));
  EXPECT_EQ(failed, std::vector<int>{h});
  h = Incoming(206, 7, true, 0x40);
  Respond(h, 206 * 3);
  net.Take();
  TBACnetPDU again = Answer(kPDUConfirmedRequest, 0x40);
  net.Receive(again);
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUAbort);
  EXPECT_TRUE(sent[0].pdu.Server);
  EXPECT_EQ(app.FindTransaction(h), nullptr);
}

TEST_F(SegmentedResponseTest, ResponseOfMoreThan256SegmentsWraps) {
  app.MaxServerSegments = 300;
  const int h = Incoming(50, 7);
  Respond(h, 45 * 300);
  std::string collected;
  std::vector<int> seqs;
  auto take = [&] {
    for (const SentAPDU& s : net.Take()) {
      collected += s.pdu.ServiceData;
      seqs.push_back(s.pdu.SequenceNumber);
    }
  };
  take();
  while (app.FindTransaction(h) != nullptr && seqs.size() <= 300) {
    net.Receive(SegmentAck(0x21, seqs.back(), 127, false));
    take();
  }
  EXPECT_EQ(seqs.size(), 300u);
  EXPECT_EQ(collected, Pattern(45 * 300, 9));
  for (size_t i = 0; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], static_cast<int>(i & 0xFF)) << i;
}

}  // namespace
}  // namespace zb::bacnet::test
