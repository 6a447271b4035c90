// Handlers that call back into the layer at once: answering from inside the delivery of a
// request, new requests from answers and failures, purges under a running state machine, and
// the tick walking a table that changes beneath it.
#include <gtest/gtest.h>

#include "bacnet/app/tsm.h"
#include "octets.h"
#include "scripted_network.h"

namespace zb::bacnet::test {
namespace {

using ReentranceTest = AppTest;

TBACnetPDU IncomingRequest(int invoke, int max_apdu = 1476) {
  TBACnetPDU req = Answer(kPDUConfirmedRequest, invoke);
  req.ExpectingReply = true;
  req.MaxAPDU = static_cast<uint16_t>(max_apdu);
  req.MaxSegments = 7;
  req.SegmentedResponseAccepted = true;
  req.ServiceData = Octets("0C 02 00 00 01 19 4C");
  return req;
}

TEST_F(ReentranceTest, DeviceAnswersAndSendsFromInsideTheDelivery) {
  int new_handle = 0;
  on_indication = [&](const TBACnetPDU& pdu) {
    if (pdu.PDUType != kPDUConfirmedRequest) return;
    TBACnetPDU resp = pdu;
    SwapAddressInfo(resp);
    resp.Values = Variant("");
    resp.ServiceData = Pattern(20);
    app.SendComplexAck(pdu.TransactionHandle, resp);  // ends the transaction being delivered
    new_handle = app.SendRequest(Request(4));         // purges it while its machine runs
  };
  net.Receive(IncomingRequest(0x61));
  auto sent = net.Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].pdu.PDUType, kPDUComplexAck);
  EXPECT_EQ(sent[0].pdu.InvokeID, 0x61);
  EXPECT_EQ(sent[1].pdu.PDUType, kPDUConfirmedRequest);
  EXPECT_GT(new_handle, 0);
  EXPECT_EQ(app.TransactionCount(), 1);
  // The answered server transaction does not time out afterwards.
  Tick(40);
  EXPECT_TRUE(failed.empty());
  ASSERT_EQ(net.sent.size(), 1u);  // only the retry of the new request
  EXPECT_EQ(net.sent[0].pdu.InvokeID, new_handle);
}

TEST_F(ReentranceTest, SegmentedAnswerStartedInsideTheDeliveryKeepsItsTimers) {
  on_indication = [&](const TBACnetPDU& pdu) {
    TBACnetPDU resp = pdu;
    SwapAddressInfo(resp);
    resp.Values = Variant("");
    resp.ServiceData = Pattern(3000);
    app.SendComplexAck(pdu.TransactionHandle, resp);
  };
  net.max_apdu = 1024;
  net.Receive(IncomingRequest(0x62));
  const int h = up[0].TransactionHandle;
  EXPECT_EQ(net.Take().size(), 1u);
  ASSERT_NE(app.FindTransaction(h), nullptr);
  EXPECT_EQ(app.FindTransaction(h)->State, tsSegmentedResponse);
  EXPECT_EQ(app.FindTransaction(h)->RequestTimer, 0);
  net.Receive(SegmentAck(0x62, 0, 4, false));
  EXPECT_EQ(net.Take().size(), 2u);
  net.Receive(SegmentAck(0x62, 2, 4, false));
  EXPECT_EQ(app.FindTransaction(h), nullptr);
  Tick(100);
  EXPECT_TRUE(failed.empty());
  EXPECT_TRUE(net.sent.empty());
}

TEST_F(ReentranceTest, TickSurvivesHandlersThatAddAndEndTransactions) {
  // Five requests time out on the same tick; every local error makes the device send two new
  // requests, and the first error also answers (ends) the next request still waiting.
  std::vector<int> handles;
  for (int i = 0; i < 5; ++i) handles.push_back(app.SendRequest(Request(4)));
  app.APDURetries = 0;
  std::vector<int> errors;
  on_indication = [&](const TBACnetPDU& pdu) {
    if (pdu.PDUType != kPDUError) return;
    errors.push_back(pdu.TransactionHandle);
    if (errors.size() == 1) net.Receive(Answer(kPDUSimpleAck, handles[1]));
    if (errors.size() <= 4) {
      app.SendRequest(Request(4));
      app.SendRequest(Request(4));
    }
  };
  Tick(31);
  EXPECT_EQ(errors, (std::vector<int>{handles[0], handles[2], handles[3], handles[4]}));
  ASSERT_EQ(up.size(), 5u);  // four errors and the simple ACK
  EXPECT_EQ(up[1].PDUType, kPDUSimpleAck);
  EXPECT_EQ(up[1].TransactionHandle, handles[1]);
  // The eight requests made meanwhile age from their own start and are all given up.
  Tick(31);
  EXPECT_EQ(errors.size(), 12u);
  Tick(100);
  EXPECT_EQ(errors.size(), 12u);
}

TEST_F(ReentranceTest, FailureHandlerMayStartANewRequest) {
  int retried = 0;
  on_failed = [&](int) { retried = app.SendRequest(Request(4)); };
  const int h = app.SendRequest(Request(4));
  net.Receive(Abort(h, true));
  EXPECT_EQ(failed, std::vector<int>{h});
  ASSERT_GT(retried, 0);
  net.Receive(Answer(kPDUSimpleAck, retried));
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].TransactionHandle, retried);
}

TEST_F(ReentranceTest, DuplicateAnswerArrivingDuringTheDeliveryIsNotDeliveredTwice) {
  const int h = app.SendRequest(Request(4));
  int depth = 0;
  on_indication = [&](const TBACnetPDU&) {
    if (depth++ == 0) net.Receive(Answer(kPDUSimpleAck, h));
  };
  net.Receive(Answer(kPDUSimpleAck, h));
  EXPECT_EQ(up.size(), 1u);
}

TEST_F(ReentranceTest, DeliveryThatProcessesMessagesWhileWaiting) {
  // A synchronous wait inside a delivery pumps the loop: further answers arrive and the tick
  // keeps running for the other transactions.
  const int h1 = app.SendRequest(Request(4));
  const int h2 = app.SendRequest(Request(4));
  bool waited = false;
  on_indication = [&](const TBACnetPDU& pdu) {
    if (pdu.TransactionHandle != h1 || waited) return;
    waited = true;
    loop.Post([&] { net.Receive(Answer(kPDUSimpleAck, h2)); });
    for (int i = 0; i < 5; ++i) loop.WaitAndProcess(100);
  };
  net.Receive(Answer(kPDUSimpleAck, h1));
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(up[1].TransactionHandle, h2);
}

TEST_F(ReentranceTest, HandlerThatThrowsInsideTheTickDoesNotStopIt) {
  const int h1 = app.SendRequest(Request(4));
  const int h2 = app.SendRequest(Request(4));
  app.APDURetries = 0;
  std::vector<std::string> traces;
  app.OnTrace = [&](void*, const std::string& text, int) { traces.push_back(text); };
  on_indication = [&](const TBACnetPDU& pdu) {
    if (pdu.TransactionHandle == h1) throw std::runtime_error("device failed");
  };
  Tick(31);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(up[1].TransactionHandle, h2);
  EXPECT_EQ(traces, std::vector<std::string>{"device failed"});
  EXPECT_TRUE(app.timer().Enabled());
  const int h3 = app.SendRequest(Request(4));
  Tick(31);
  ASSERT_EQ(up.size(), 3u);
  EXPECT_EQ(up[2].TransactionHandle, h3);
}

TEST_F(ReentranceTest, TimerIsOffWhileTheTickRunsAndOnAgainAfter) {
  const int h = app.SendRequest(Request(4));
  app.APDURetries = 0;
  bool enabled_inside = true, opened_inside = false;
  on_indication = [&](const TBACnetPDU&) {
    enabled_inside = app.timer().Enabled();
    opened_inside = app.Opened();
  };
  Tick(31);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].TransactionHandle, h);
  EXPECT_FALSE(enabled_inside);
  EXPECT_TRUE(opened_inside);
  EXPECT_TRUE(app.timer().Enabled());
  EXPECT_EQ(app.timer().Interval(), 100);
}

}  // namespace
}  // namespace zb::bacnet::test
