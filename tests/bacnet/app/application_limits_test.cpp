// What peers can make the server side hold: transactions open at once (in all and per peer),
// the length of a reassembled request and of an answer, how long finished and expired
// transactions stay, and the separation of server handles from the driver's own requests.
#include <gtest/gtest.h>

#include "bacnet/app/tsm.h"
#include "octets.h"
#include "scripted_network.h"

namespace zb::bacnet::test {
namespace {

using Limits = AppTest;
using App = TBACnetApplication;

std::string Peer(int n) {
  return std::string("\x0A\x01", 2) + char(n >> 8) + char(n & 0xFF) + std::string("\xBA\xC0", 2);
}

// A confirmed request nobody above answers (a service our device does not execute).
TBACnetPDU Unanswered(int invoke) {
  TBACnetPDU req = Answer(kPDUConfirmedRequest, invoke, 5);
  req.ExpectingReply = true;
  req.MaxAPDU = 1476;
  req.ServiceData = Octets("09 01");
  return req;
}

std::vector<int> AbortReasons(std::vector<SentAPDU> sent) {
  std::vector<int> r;
  for (const auto& s : sent)
    if (s.pdu.PDUType == kPDUAbort && s.pdu.Server) r.push_back(s.pdu.ErrorCode);
  return r;
}

TEST_F(Limits, ServerTransactionsAreCappedPerPeerAndInAll) {
  for (int i = 0; i < App::kMaxServerTransactionsPerPeer; ++i) net.Receive(Unanswered(i));
  EXPECT_TRUE(AbortReasons(net.Take()).empty());
  EXPECT_EQ(app.ServerTransactionCount(), App::kMaxServerTransactionsPerPeer);
  // The same peer once more: refused with out-of-resources, nothing delivered or opened.
  const size_t delivered = up.size();
  net.Receive(Unanswered(100));
  EXPECT_EQ(AbortReasons(net.Take()), std::vector<int>{kAbortOutOfResources});
  EXPECT_EQ(up.size(), delivered);
  // Other peers are served until the table is full.
  int peer = 1, refused = 0;
  while (app.ServerTransactionCount() < App::kMaxServerTransactions)
    net.Receive(Unanswered(1), Peer(peer++));
  refused += static_cast<int>(AbortReasons(net.Take()).size());
  EXPECT_EQ(refused, 0);
  net.Receive(Unanswered(1), Peer(peer++));
  EXPECT_EQ(AbortReasons(net.Take()), std::vector<int>{kAbortOutOfResources});
  EXPECT_EQ(app.ServerTransactionCount(), App::kMaxServerTransactions);

  // Answered ones make room at once.
  app.SendSimpleAck(up[0].TransactionHandle);
  net.Take();
  net.Receive(Unanswered(101));
  EXPECT_TRUE(AbortReasons(net.Take()).empty());
  EXPECT_EQ(up.back().InvokeID, 101);
}

TEST_F(Limits, ExpiredTransactionsLeaveOnTheTimerWithoutFurtherTraffic) {
  // Half-open segmented requests and unanswered ones.
  const std::string data = Pattern(2000);
  for (int i = 0; i < 6; ++i)
    net.Receive(Segment(kPDUConfirmedRequest, i, data, 400, 0, 4), Peer(i));
  for (int i = 0; i < 6; ++i) net.Receive(Unanswered(50 + i), Peer(100 + i));
  EXPECT_EQ(app.TransactionCount(), 12);
  Tick(35);  // past the APDU time-out: the unanswered ones are aborted and gone
  EXPECT_EQ(app.TransactionCount(), 6);
  Tick(50);  // past four segment time-outs
  EXPECT_EQ(app.TransactionCount(), 0);
  EXPECT_EQ(app.ServerTransactionCount(), 0);
}

TEST_F(Limits, ReassemblyStopsAtWhatTheDeviceCanAnswer) {
  const size_t limit = app.MaxServerRequestLength();
  EXPECT_EQ(limit, static_cast<size_t>(app.MaxServerSegments * net.max_apdu));
  const int size = 400;
  const int count = static_cast<int>(limit / size) + 2;
  const std::string data = Pattern(static_cast<size_t>(size) * count);
  std::vector<int> reasons;
  int k = 0;
  for (; k < count && reasons.empty(); ++k) {
    net.Receive(Segment(kPDUConfirmedRequest, 9, data, size, k, 127));
    reasons = AbortReasons(net.Take());
  }
  EXPECT_EQ(reasons, std::vector<int>{kAbortBufferOverflow});
  EXPECT_EQ(k, static_cast<int>(limit / size) + 1);
  EXPECT_TRUE(up.empty());
  Tick(1);
  EXPECT_EQ(app.TransactionCount(), 0);
}

TEST_F(Limits, AnswerLongerThanTheCapIsAbortedNotHeld) {
  net.max_apdu = 1476;
  on_indication = [this](const TBACnetPDU& req) {
    if (req.PDUType != kPDUConfirmedRequest) return;
    TBACnetPDU answer = req;
    SwapAddressInfo(answer);
    answer.Values = Variant();
    answer.ServiceData = Pattern(static_cast<size_t>(app.MaxServerSegments + 1) * 1476);
    app.SendComplexAck(req.TransactionHandle, answer);
  };
  TBACnetPDU req = Unanswered(7);
  req.SegmentedResponseAccepted = true;
  req.MaxSegments = 7;  // more than 64: the requester would take it
  net.Receive(req);
  EXPECT_EQ(AbortReasons(net.Take()), std::vector<int>{kAbortBufferOverflow});
  Tick(1);
  EXPECT_EQ(app.TransactionCount(), 0);
}

TEST_F(Limits, ServerHandlesNeverMeetClientHandles) {
  // Our own requests use every client handle once over; peers' requests come in between.
  std::vector<int> client, server;
  for (int round = 0; round < 300; ++round) {
    const int h = app.SendRequest(Request(4));
    ASSERT_GT(h, 0);
    client.push_back(h);
    net.Receive(Unanswered(round & 0xFF), Peer(round));
    server.push_back(up.back().TransactionHandle);
    app.SendSimpleAck(up.back().TransactionHandle);
    // Our request is answered too, so that handles are reused.
    TBACnetPDU ack = Answer(kPDUSimpleAck, h);
    net.Receive(ack);
  }
  for (int h : client) {
    EXPECT_GE(h, 1);
    EXPECT_LE(h, 255);
  }
  for (int h : server) EXPECT_GE(h, App::kFirstServerHandle);

  // A peer's request that times out reports its own handle, which no request of ours holds.
  up.clear();
  failed.clear();
  const int mine = app.SendRequest(Request(4));
  net.Receive(Unanswered(mine), kPeer);  // same peer, same invoke ID as our open request
  ASSERT_EQ(up.size(), 1u);
  const int theirs = up[0].TransactionHandle;
  EXPECT_NE(theirs, mine);
  Tick(32);
  EXPECT_EQ(failed, std::vector<int>{theirs});
  ASSERT_NE(app.FindTransaction(mine), nullptr);  // still retrying, untouched
}

TEST_F(Limits, InvokeIdsInUseAreSkippedAndExhaustionIsRefused) {
  std::vector<int> handles;
  for (int i = 0; i < 255; ++i) handles.push_back(app.SendRequest(Request(4)));
  std::sort(handles.begin(), handles.end());
  EXPECT_EQ(handles.front(), 1);
  EXPECT_EQ(handles.back(), 255);
  EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
  EXPECT_EQ(app.SendRequest(Request(4)), -1);
  net.Receive(Answer(kPDUSimpleAck, 77));
  EXPECT_EQ(app.SendRequest(Request(4)), 77);
}

}  // namespace
}  // namespace zb::bacnet::test
