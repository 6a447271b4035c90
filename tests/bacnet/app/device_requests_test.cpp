// Client requests of the device object: encodings, the pending table, answers by event and by
// waiting, failures, the last-error record and the traces of delivered PDUs.
#include <gtest/gtest.h>

#include "bacnet/app/last_failure.h"
#include "bacnet/app/tagged_list.h"
#include "bacnet/app/trace_lines.h"
#include "device_test_stack.h"

namespace zb::bacnet::devtest {
namespace {

Variant Req(std::vector<Variant> items) { return Variant::MakeList(std::move(items)); }

const std::string kAval1 = Bytes({0x0C, 0x00, 0x80, 0x00, 0x01});  // [0] analog value 1

struct DeviceRequests : ::testing::Test {
  DeviceStack s;
  void SetUp() override { ASSERT_TRUE(s.Open()); }
  // Service data of the request a call sends; "" (and nothing sent) when it returns -1.
  std::string DataOf(int handle) {
    if (handle < 0) return "";
    return s.Last().pdu.ServiceData;
  }
};

TEST_F(DeviceRequests, ReadPropertyWithAndWithoutIndexAndReadMultiple) {
  int h = s.dev.RequestRead(Req({kPeerAvalText, "85"}));
  ASSERT_GT(h, 0);
  const TBACnetPDU& p = s.Last().pdu;
  EXPECT_EQ(p.PDUType, 0);
  EXPECT_EQ(p.ServiceChoice, 12);
  EXPECT_FALSE(p.Broadcast);
  EXPECT_EQ(p.DestinationAddress.str(), kPeerMac);
  EXPECT_EQ(p.SourceAddress.str(), kOurMac);
  EXPECT_EQ(p.DestinationNetwork, 0);
  EXPECT_TRUE(p.SegmentedResponseAccepted);
  EXPECT_EQ(p.ServiceData, kAval1 + Bytes({0x19, 0x55}));

  h = s.dev.RequestRead(Req({kPeerAvalText, 87, "3"}));
  ASSERT_GT(h, 0);
  EXPECT_EQ(s.Last().pdu.ServiceData, kAval1 + Bytes({0x19, 0x57, 0x29, 0x03}));

  h = s.dev.RequestRead(Req({kPeerAvalText, "85", "77", "117"}));
  ASSERT_GT(h, 0);
  EXPECT_EQ(s.Last().pdu.ServiceChoice, 14);
  EXPECT_EQ(s.Last().pdu.ServiceData,
            kAval1 + Bytes({0x1E, 0x09, 0x55, 0x09, 0x4D, 0x09, 0x75, 0x1F}));
}

TEST_F(DeviceRequests, RemoteDeviceIsAddressedThroughItsNetworkAndRouter) {
  ASSERT_GT(s.dev.RequestRead(Req({"[C0:A8:01:01:BA:C0-5]12-BIN#3", "85"})), 0);
  const TBACnetPDU& p = s.Last().pdu;
  EXPECT_EQ(p.DestinationNetwork, 5);
  EXPECT_EQ(p.DestinationAddress.str(), Bytes({0x0C}));
  EXPECT_EQ(p.RouterAddress.str(), Bytes({0xC0, 0xA8, 0x01, 0x01, 0xBA, 0xC0}));
}

TEST_F(DeviceRequests, MalformedRequestsSendNothingAndTakeNoSlot) {
  EXPECT_EQ(s.dev.RequestRead(Variant("10.0.0.2-AVAL#1")), -1);
  EXPECT_EQ(s.dev.RequestRead(Req({kPeerAvalText})), -1);
  EXPECT_EQ(s.dev.RequestRead(Req({"3-XYZ1", "85"})), -1);
  EXPECT_EQ(s.dev.RequestRead(Req({kPeerAvalText, Variant::MakeList({1})})), -1);
  EXPECT_EQ(s.dev.RequestWrite(Req({kPeerAvalText, "85", "1", "2"})), -1);
  EXPECT_EQ(s.dev.RequestWrite(Req({kPeerAvalText, "85"})), -1);
  EXPECT_EQ(s.dev.RequestReadRange(Req({kPeerAvalText, "131"})), -1);
  EXPECT_TRUE(s.net.sent.empty());
  EXPECT_EQ(s.dev.PendingCount(), 0);
}

TEST_F(DeviceRequests, WriteChoosesTheDataTypeFromTheAddress) {
  const std::string tail = Bytes({0x3F, 0x49, 0x0A});  // closing [3], priority 10
  struct Case {
    const char* address;
    Variant property;
    Variant value;
    std::string value_octets;
  } cases[] = {
      {"10.0.0.2-AVAL#1", "85", "72.5", Bytes({0x44, 0x42, 0x91, 0x00, 0x00})},
      {"10.0.0.2-AIN#1", "85", 12, Bytes({0x44, 0x41, 0x40, 0x00, 0x00})},
      {"10.0.0.2-BOUT#1", "85", "ON", Bytes({0x91, 0x01})},
      {"10.0.0.2-BVAL#1", "85", "0", Bytes({0x91, 0x00})},
      {"10.0.0.2-MSV#1", "85", "3", Bytes({0x21, 0x03})},
      {"10.0.0.2-AVAL#1", "81", true, Bytes({0x11})},
      {"10.0.0.2-AVAL#1", "81", "off", Bytes({0x10})},
      {"10.0.0.2-AVAL#1:28.7", "28", "Hi", Bytes({0x73, 0x00, 'H', 'i'})},
      {"10.0.0.2-AVAL#1:85.3", "85", "-129", Bytes({0x32, 0xFF, 0x7F})},
      {"10.0.0.2-AVAL#1:85.0", "85", "", Bytes({0x00})},
      {"10.0.0.2-AVAL#1:85.8", "85", "10110", Bytes({0x82, 0x03, 0xB0})},
      {"10.0.0.2-AVAL#1:85.12", "85", "3:7", Bytes({0xC4, 0x00, 0xC0, 0x00, 0x07})},
      {"10.0.0.2-AVAL#1:85.12", "85", "5", Bytes({0xC4, 0x01, 0x40, 0x00, 0x05})},
      // Present-value and relinquish-default without a qualifier: the object type's default.
      {"10.0.0.2-AOUT#1:85", "85", "0.1", Bytes({0x44, 0x3D, 0xCC, 0xCC, 0xCD})},
      {"10.0.0.2-AVAL#1:104", "104", "2", Bytes({0x44, 0x40, 0x00, 0x00, 0x00})},
      {"10.0.0.2-BOUT#1:85", "85", "1", Bytes({0x91, 0x01})},
      {"10.0.0.2-MSO#1:104", "104", "4", Bytes({0x21, 0x04})},
      // Any other property without a qualifier, or an object type without a default value type,
      // has no data type: nothing is encoded.
      {"10.0.0.2-AVAL#1:28", "28", "1", ""},
      {"10.0.0.2-TRN#1:85", "85", "1", ""},
      {"10.0.0.2-TRN#1", "85", "1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    const int h = s.dev.RequestWrite(Req({c.address, c.property, c.value}));
    ASSERT_GT(h, 0);
    const TBACnetPDU& p = s.Last().pdu;
    EXPECT_EQ(p.ServiceChoice, 15);
    const std::string& d = p.ServiceData;
    ASSERT_GE(d.size(), 8u);
    EXPECT_EQ(d.substr(7), Bytes({0x3E}) + c.value_octets + tail);
  }
}

TEST_F(DeviceRequests, PreEncodedWriteAndReadRangeAppendTheCallersOctets) {
  const std::string value = Bytes({0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F, 0x49, 0x08});
  ASSERT_GT(s.dev.RequestWriteEncoded(Req({kPeerAvalText, "85"}), value), 0);
  EXPECT_EQ(s.Last().pdu.ServiceChoice, 15);
  EXPECT_EQ(s.Last().pdu.ServiceData, kAval1 + Bytes({0x19, 0x55}) + value);

  const std::string range = Bytes({0x3E, 0x21, 0x01, 0x31, 0x0A, 0x3F});
  ASSERT_GT(s.dev.RequestReadRange(Req({"10.0.0.2-TRN#1", "131", range})), 0);
  EXPECT_EQ(s.Last().pdu.ServiceChoice, 26);
  EXPECT_EQ(s.Last().pdu.ServiceData, Bytes({0x0C, 0x05, 0x00, 0x00, 0x01, 0x19, 0x83}) + range);
}

TEST_F(DeviceRequests, PendingTableHoldsThirtyTwoAndAnswersFreeSlots) {
  std::vector<int> handles;
  for (int i = 0; i < 32; ++i) {
    int h = s.dev.RequestRead(Req({kPeerAvalText, "85"}));
    ASSERT_GT(h, 0);
    handles.push_back(h);
  }
  const size_t sent = s.net.sent.size();
  EXPECT_EQ(s.dev.RequestRead(Req({kPeerAvalText, "85"})), -1);
  EXPECT_EQ(s.net.sent.size(), sent);
  EXPECT_EQ(s.dev.PendingCount(), 32);

  std::vector<std::tuple<int, int>> got;
  s.dev.OnResponseReceived = [&](void*, int id, int response, const Variant&) {
    got.emplace_back(id, response);
  };
  s.net.Receive(SimpleAck(s.net.sent[5].pdu.InvokeID, 12));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::make_tuple(handles[5], 2));
  EXPECT_EQ(s.dev.PendingCount(), 31);
  EXPECT_GT(s.dev.RequestRead(Req({kPeerAvalText, "85"})), 0);
}

TEST_F(DeviceRequests, AnswersAreReportedByHandleAndUnknownOnesDropped) {
  std::vector<std::tuple<int, int, Variant>> got;
  s.dev.OnResponseReceived = [&](void*, int id, int response, const Variant& data) {
    got.emplace_back(id, response, data);
  };
  const int h = s.dev.RequestRead(Req({kPeerAvalText, "85"}));
  const int invoke = s.Last().pdu.InvokeID;
  s.net.Receive(ComplexAck(invoke, 12,
                           kAval1 + Bytes({0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F})));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(std::get<0>(got[0]), h);
  EXPECT_EQ(std::get<1>(got[0]), 3);
  const Variant& values = std::get<2>(got[0]);
  ASSERT_TRUE(values.IsArray());
  EXPECT_DOUBLE_EQ(values[3][2].ToReal(), 72.5);
  EXPECT_FALSE(s.dev.IsPending(h));

  // The same answer again has no transaction any more; nothing is raised.
  s.net.Receive(ComplexAck(invoke, 12, kAval1));
  EXPECT_EQ(got.size(), 1u);

  // An abort from the server ends the transaction as a failure: Response 7, data 0 (the
  // application layer reports it as a failure, so it never reaches the last-error record).
  const int h2 = s.dev.RequestRead(Req({kPeerAvalText, "85"}));
  s.net.Receive(Bytes({0x71, s.Last().pdu.InvokeID, 0x04}));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(std::get<0>(got[1]), h2);
  EXPECT_EQ(std::get<1>(got[1]), 7);
  EXPECT_EQ(std::get<2>(got[1]), Variant(int32_t(0)));
  EXPECT_EQ(s.dev.PendingCount(), 0);
}

TEST_F(DeviceRequests, ThrowingResponseHandlerIsContainedAndFreesTheSlot) {
  s.dev.OnResponseReceived = [](void*, int, int, const Variant&) { throw std::runtime_error("x"); };
  s.dev.RequestRead(Req({kPeerAvalText, "85"}));
  EXPECT_NO_THROW(s.net.Receive(SimpleAck(s.Last().pdu.InvokeID, 12)));
  EXPECT_EQ(s.dev.PendingCount(), 0);
}

TEST_F(DeviceRequests, WaitingReadReturnsTheAnswerAndItsRawData) {
  const std::string data = kAval1 + Bytes({0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F});
  s.net.on_send = [&](const SentAPDU& a) {
    if (a.pdu.PDUType == 0) s.AnswerLater([&](int id) { return ComplexAck(id, 12, data); });
  };
  int response = 0;
  Variant values;
  EXPECT_EQ(s.dev.ReadSync(Req({kPeerAvalText, "85"}), response, values), 3);
  EXPECT_EQ(response, 3);
  EXPECT_DOUBLE_EQ(values[3][2].ToReal(), 72.5);

  std::string raw;
  response = 0;
  s.dev.ReadSyncData(Req({kPeerAvalText, "85"}), response, raw);
  EXPECT_EQ(response, 3);
  EXPECT_EQ(raw, data);
  EXPECT_EQ(s.dev.PendingCount(), 0);
  EXPECT_EQ(s.dev.WaitHandle(), -2);
}

TEST_F(DeviceRequests, WaitingWritesAndRangeReads) {
  s.net.on_send = [&](const SentAPDU& a) {
    if (a.pdu.PDUType != 0) return;
    const int service = a.pdu.ServiceChoice;
    s.AnswerLater([service](int id) {
      return service == 26 ? ComplexAck(id, 26, Bytes({0x0C, 0x05, 0x00, 0x00, 0x01}))
                           : SimpleAck(id, service);
    });
  };
  int response = 0;
  EXPECT_EQ(s.dev.WriteSync(Req({kPeerAvalText, "85", "1"}), response), 2);
  response = 0;
  EXPECT_EQ(s.dev.WriteEncodedSync(Req({kPeerAvalText, "85"}), Bytes({0x3E, 0x00, 0x3F}), response),
            2);
  Variant values;
  EXPECT_EQ(s.dev.ReadRangeSync(Req({"10.0.0.2-TRN#1", "131", ""}), response, values), 3);
  EXPECT_TRUE(values.IsArray());
  TBACnetPDU pdu;
  ClearPDU(pdu);
  pdu.PDUType = 0;
  pdu.ServiceChoice = 0;
  pdu.DestinationAddress = kPeerMac;
  pdu.SourceAddress = kOurMac;
  response = 0;
  EXPECT_EQ(s.dev.SendPDUSync(pdu, response), 2);
}

TEST_F(DeviceRequests, WaitsThatCannotSendReturnAtOnce) {
  int response = 42;
  Variant values;
  EXPECT_EQ(s.dev.ReadSync(Req({"nonsense", "85"}), response, values), 42);
  EXPECT_EQ(response, 42);
  EXPECT_EQ(s.dev.WriteSync(Req({kPeerAvalText, "85", "1", "2"}), response), 42);
  EXPECT_EQ(s.dev.WriteEncodedSync(Req({"nonsense", "85"}), "", response), 5);
  EXPECT_EQ(response, 5);
  TBACnetPDU unconfirmed;
  ClearPDU(unconfirmed);
  unconfirmed.PDUType = 1;
  response = 9;
  EXPECT_EQ(s.dev.SendPDUSync(unconfirmed, response), 9);
  EXPECT_EQ(s.dev.PendingCount(), 0);
}

TEST_F(DeviceRequests, UnansweredWaitEndsWithTheLocalErrorAfterTheRetries) {
  const int64_t start = s.clock.NowMs();
  int response = 0;
  Variant values;
  s.dev.ReadSync(Req({kPeerAvalText, "85"}), response, values);
  EXPECT_EQ(response, 5);
  EXPECT_EQ(s.net.sent.size(), 4u);  // the request and three resends
  EXPECT_GE(s.clock.NowMs() - start, 4 * 3000);
  EXPECT_EQ(LastFailure().LastErrorKind, kLastErrorError);
  EXPECT_EQ(LastErrorText(), "Error Class: device (0) - Reason: other (0)");
  EXPECT_EQ(s.dev.PendingCount(), 0);
}

TEST_F(DeviceRequests, ErrorAndRejectAnswersAreRecordedTracedAndReturned) {
  int reply = 0;  // 0 error, 1 reject
  s.net.on_send = [&](const SentAPDU& a) {
    if (a.pdu.PDUType != 0) return;
    s.AnswerLater([&](int id) {
      return reply == 0 ? ErrorPDU(id, 12, 1, 31) : Bytes({0x60, id, 0x09});
    });
  };
  int response = 0;
  Variant values;
  s.dev.ReadSync(Req({"10.0.0.2-AVAL#99", "85"}), response, values);
  EXPECT_EQ(response, 5);
  EXPECT_EQ(LastErrorText(), "Error Class: object (1) - Reason: unknown-object (31)");
  EXPECT_TRUE(s.Traced("Error Class: object (1) - Reason: unknown-object (31)"));
  reply = 1;
  s.dev.ReadSync(Req({kPeerAvalText, "85"}), response, values);
  EXPECT_EQ(response, 6);
  EXPECT_EQ(LastFailure().LastErrorKind, kLastErrorReject);
  EXPECT_EQ(LastErrorText(), "Reject Reason: unrecognized-service (9)");
  // The next delivered PDU resets the record.
  s.net.Receive(Bytes({0x10, 0x08}));
  EXPECT_EQ(LastFailure().LastErrorKind, kLastErrorNone);
  EXPECT_EQ(LastFailure().ErrorClass, -1);
  EXPECT_EQ(LastErrorText(), "");
}

// A waiting call run from inside another wait (a host call, a timer) must not end the outer
// wait, and each must return its own answer, whichever answer comes first.
TEST_F(DeviceRequests, NestedWaitsEachEndOnTheirOwnAnswer) {
  const std::string outer_data =
      kAval1 + Bytes({0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F});
  for (bool outer_answer_first : {false, true}) {
    SCOPED_TRACE(outer_answer_first);
    int outer_invoke = -1, inner_invoke = -1;
    int inner_response = 0;
    bool nested_ran = false;
    s.net.on_send = [&](const SentAPDU& a) {
      if (a.pdu.PDUType != 0) return;
      if (outer_invoke < 0) {
        outer_invoke = a.pdu.InvokeID;
        // While the outer read waits, a nested write runs from the loop.
        s.loop.Post([&] {
          nested_ran = true;
          s.dev.WriteSync(Req({kPeerAvalText, "85", "1"}), inner_response);
        });
      } else {
        inner_invoke = a.pdu.InvokeID;
        if (outer_answer_first)
          s.loop.Post([&] { s.net.Receive(ComplexAck(outer_invoke, 12, outer_data)); });
        s.loop.Post([&] { s.net.Receive(SimpleAck(inner_invoke, 15)); });
        if (!outer_answer_first)
          s.loop.Post([&] { s.net.Receive(ComplexAck(outer_invoke, 12, outer_data)); });
      }
    };
    int response = 0;
    Variant values;
    s.dev.ReadSync(Req({kPeerAvalText, "85"}), response, values);
    EXPECT_TRUE(nested_ran);
    EXPECT_EQ(inner_response, 2);
    EXPECT_EQ(response, 3);
    ASSERT_TRUE(values.IsArray());
    EXPECT_DOUBLE_EQ(values[3][2].ToReal(), 72.5);
    EXPECT_EQ(s.dev.WaitHandle(), -2);
    EXPECT_EQ(s.dev.PendingCount(), 0);
  }
}

TEST_F(DeviceRequests, IAmFillsTheBindingsOncePerDevice) {
  int raised = 0;
  s.dev.OnBindingsUpdated = [&](void*) { ++raised; };
  const std::string iam = Bytes({0x10, 0x00, 0xC4, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x01, 0xE0, 0x91,
                                 0x03, 0x21, 0x07});  // device 1234, 480, no seg, vendor 7
  s.net.Receive(iam, kPeerMac, 5, true);
  ASSERT_EQ(s.dev.Bindings().size(), 1u);
  const TBACnetBinding& b = s.dev.Bindings()[0];
  EXPECT_EQ(b.ObjectType, 8);
  EXPECT_EQ(b.Instance, 1234);
  EXPECT_EQ(b.Network, 5);
  EXPECT_EQ(b.Address.str(), kPeerMac);
  EXPECT_EQ(b.MaxAPDU, 480);
  EXPECT_EQ(b.Segmentation, 3);
  EXPECT_EQ(b.Vendor, 7);
  EXPECT_EQ(raised, 1);

  // Same device from a new address: the first binding stays, nothing raised.
  s.net.Receive(iam, Bytes({0x0a, 0x00, 0x00, 0x09, 0xba, 0xc0}));
  EXPECT_EQ(s.dev.Bindings().size(), 1u);
  EXPECT_EQ(s.dev.Bindings()[0].Address.str(), kPeerMac);
  EXPECT_EQ(raised, 1);

  // Anything but four items is no I-Am.
  s.net.Receive(Bytes({0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x01, 0x22, 0x01, 0xE0, 0x91, 0x03}));
  s.net.Receive(Bytes({0x10, 0x00, 0x22, 0x01, 0xE0, 0x22, 0x01, 0xE0, 0x91, 0x03, 0x21, 0x07}));
  EXPECT_EQ(s.dev.Bindings().size(), 1u);
  EXPECT_EQ(raised, 1);
}

TEST_F(DeviceRequests, EveryDeliveredPDUIsTraced) {
  s.net.Receive(Bytes({0x10, 0x08, 0x09, 0x01}), kPeerMac, 0x1a);
  ASSERT_FALSE(s.traces.empty());
  EXPECT_EQ(s.traces[0], " IN: [1a]<[0a][00][00][02][ba][c0]>[T:1] [S:8] [L:2] Data: [09][01]\r");
  s.traces.clear();
  s.net.Receive(Bytes({0x10, 0x08}), "<local>");
  EXPECT_EQ(s.traces[0], " IN: [00]<Local>[T:1] [S:8] [L:0] Data: \r");
  s.traces.clear();
  s.net.Receive(Bytes({0x10, 0x07}), "10.0.0.2");
  EXPECT_EQ(s.traces[0], " IN: [00]<10.0.0.2>[T:1] [S:7] [L:0] Data: \r");
}

TEST_F(DeviceRequests, PeerRequestsWeDoNotExecuteAreRejectedAndReachNoRequestOfOurs) {
  std::vector<std::tuple<int, int>> got;
  s.dev.OnResponseReceived = [&](void*, int id, int response, const Variant&) {
    got.emplace_back(id, response);
  };
  // A request of ours is open, and peers send requests we do not execute (confirmed event
  // notifications), one for every handle it could collide with.
  const int mine = s.dev.RequestRead(Req({kPeerAvalText, "85"}));
  ASSERT_GT(mine, 0);
  s.net.sent.clear();
  for (int i = 0; i < 8; ++i)
    s.net.Receive(Bytes({0x00, 0x05, static_cast<uint8_t>(mine + i - 4), 0x02, 0x09, 0x01}));
  // Each is rejected at once (unrecognized service), to its requester, not left to time out.
  ASSERT_EQ(s.net.sent.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(s.net.sent[i].octets, Bytes({0x60, static_cast<uint8_t>(mine + i - 4), 0x09}));
    EXPECT_EQ(s.net.sent[i].pdu.DestinationAddress.str(), kPeerMac);
  }
  s.loop.AdvanceClock(2900);
  ASSERT_TRUE(s.dev.IsPending(mine));
  EXPECT_TRUE(got.empty());  // the peers' requests are nobody's answer
  EXPECT_EQ(s.net.sent.size(), 8u);
  // Our request still takes its own answer.
  s.net.Receive(
      ComplexAck(mine, 12, kAval1 + Bytes({0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F})));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::make_tuple(mine, 3));
}

TEST_F(DeviceRequests, LongHexDumpsInTracesAreCutWithTheirLength) {
  const std::string big(5000, '\x5A');
  const std::string dump = TraceHex(big);
  EXPECT_EQ(dump.size(), kTraceHexOctets * 4 + std::string("... (5000 octets)").size());
  EXPECT_EQ(dump.substr(dump.size() - 17), "... (5000 octets)");
  EXPECT_EQ(TraceHex(std::string(kTraceHexOctets, '\x01')).find("..."), std::string::npos);
  TBACnetPDU pdu;
  ClearPDU(pdu);
  pdu.PDUType = kPDUConfirmedRequest;
  pdu.ServiceChoice = 14;
  pdu.SourceAddress = kPeerMac;
  pdu.ServiceData = big;
  const std::string line = IncomingTraceLine(pdu);
  EXPECT_NE(line.find("[L:5000] Data: [5a]"), std::string::npos);
  EXPECT_LT(line.size(), 1024u);
}

}  // namespace
}  // namespace zb::bacnet::devtest

namespace zb::bacnet::devtest {
namespace {

// Before the stack is opened nothing would ever age a transaction, so a waiting request would
// wait for good: requests are refused instead.
TEST(DeviceRequestsBeforeOpen, AreRefusedAndDoNotWait) {
  DeviceStack s;
  EXPECT_EQ(s.dev.RequestRead(Variant::MakeList({kPeerAvalText, "85"})), -1);
  int response = 0;
  Variant values;
  EXPECT_EQ(s.dev.ReadSync(Variant::MakeList({kPeerAvalText, "85"}), response, values), 0);
  EXPECT_TRUE(s.net.sent.empty());
  EXPECT_EQ(s.dev.PendingCount(), 0);
}

}  // namespace
}  // namespace zb::bacnet::devtest
