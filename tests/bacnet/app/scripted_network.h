// A network layer stand-in for application layer tests: records every APDU sent (decoded with
// the header codec), reports configurable data link limits, and feeds APDUs upward as if they
// came from a peer. An optional responder runs on each send, inside the send call.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/application.h"
#include "bacnet/app/pdu.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"

namespace zb::bacnet::test {

inline const std::string kPeer("\x0A\x00\x00\x02\xBA\xC0", 6);
inline const std::string kMe("\x0A\x00\x00\x01\xBA\xC0", 6);

struct SentAPDU {
  std::string apdu;  // the octets as handed to the network layer
  TBACnetPDU pdu;    // decoded header, addressing and ExpectingReply
};

class ScriptedNetwork : public TBACnetNetwork {
 public:
  int max_apdu = 480;
  int max_apdu_code = 3;
  int window_limit = 0;
  // Every APDU sent must fit the data link; a complex ACK also the limit of the requester it
  // answers, which tests answering a request set here.
  int requester_max_apdu = 1476;
  bool opened = false;
  std::vector<SentAPDU> sent;
  std::function<void(const SentAPDU&)> responder;
  std::map<int, Variant> params;

  bool Open(bool open) override {
    opened = true;
    return open;
  }
  bool SendNPDU(const TBACnetNPDU& npdu) override {
    SentAPDU s;
    s.apdu.assign(reinterpret_cast<const char*>(npdu.Data), npdu.Length);
    CopyAddressInfo(npdu, s.pdu);
    s.pdu.ExpectingReply = npdu.ExpectingReply;
    EXPECT_TRUE(DecodeAPDU(npdu.Data, npdu.Length, s.pdu)) << "undecodable APDU sent";
    const int limit =
        s.pdu.PDUType == kPDUComplexAck ? std::min(max_apdu, requester_max_apdu) : max_apdu;
    EXPECT_LE(npdu.Length, limit) << "APDU of type " << int{s.pdu.PDUType}
                                  << " is longer than the maximum APDU length";
    sent.push_back(s);
    if (responder) responder(sent.back());
    return true;
  }
  int MaxAPDULength() override { return max_apdu; }
  int MaxAPDUCode() override { return max_apdu_code; }
  int WindowLimit() override { return window_limit; }
  void SetParameter(int kind, const Variant& value) override { params[kind] = value; }
  void GetParameter(int kind, Variant& value) override {
    auto it = params.find(kind);
    if (it != params.end()) value = it->second;
  }

  // Hands an APDU up as received from `source`.
  void Receive(const std::string& apdu, const std::string& source = kPeer,
               const std::string& destination = kMe, bool expecting_reply = false) {
    TBACnetNPDU npdu;
    npdu.SourceAddress = source;
    npdu.DestinationAddress = destination;
    npdu.ExpectingReply = expecting_reply;
    npdu.Length = static_cast<int32_t>(std::min<size_t>(apdu.size(), kNPDUDataSize));
    std::memcpy(npdu.Data, apdu.data(), npdu.Length);
    if (OnReceive) OnReceive(this, npdu);
  }
  void Receive(const TBACnetPDU& pdu, const std::string& source = kPeer,
               const std::string& destination = kMe) {
    std::string apdu;
    ASSERT_TRUE(EncodeAPDU(pdu, 5, apdu));
    if (pdu.PDUType == kPDUConfirmedRequest) {
      // The requester's own limits, which the encoder does not take from the record.
      int code = 5;
      for (int c = 0; c < 6; ++c)
        if (MaxAPDUFromCode(c) == pdu.MaxAPDU) code = c;
      apdu[1] = static_cast<char>((pdu.MaxSegments & 7) << 4 | code);
    }
    Receive(apdu, source, destination, pdu.ExpectingReply);
  }

  std::vector<SentAPDU> Take() {
    std::vector<SentAPDU> out;
    out.swap(sent);
    return out;
  }
};

// PDU builders for what a peer sends.
inline std::string Pattern(size_t n, int salt = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + salt) & 0xFF);
  return s;
}

inline TBACnetPDU Answer(int type, int invoke, int service = 12) {
  TBACnetPDU p;
  p.PDUType = static_cast<uint8_t>(type);
  p.InvokeID = static_cast<uint8_t>(invoke);
  p.ServiceChoice = service;
  return p;
}

inline TBACnetPDU SegmentAck(int invoke, int sequence, int window, bool server,
                             bool negative = false) {
  TBACnetPDU p = Answer(kPDUSegmentAck, invoke);
  p.SequenceNumber = static_cast<uint8_t>(sequence);
  p.ActualWindowSize = static_cast<uint8_t>(window);
  p.Server = server;
  p.NegativeAck = negative;
  return p;
}

inline TBACnetPDU Abort(int invoke, bool server, int reason = 0) {
  TBACnetPDU p = Answer(kPDUAbort, invoke);
  p.Server = server;
  p.ErrorCode = static_cast<uint8_t>(reason);
  return p;
}

// Segment `k` of `data` cut into `size`-octet pieces, as a complex ACK (type 3) or request (0).
inline TBACnetPDU Segment(int type, int invoke, const std::string& data, int size, int k,
                          int window, int service = 12) {
  TBACnetPDU p = Answer(type, invoke, service);
  const int count = static_cast<int>((data.size() + size - 1) / size);
  p.SegmentedMessage = true;
  p.MoreFollows = k < count - 1;
  p.SequenceNumber = static_cast<uint8_t>(k & 0xFF);
  p.ProposedWindowSize = static_cast<uint8_t>(window);
  p.ServiceData = data.substr(static_cast<size_t>(k) * size, size);
  p.ExpectingReply = true;
  if (type == kPDUConfirmedRequest) {
    p.SegmentedResponseAccepted = true;
    p.MaxSegments = 7;
    p.MaxAPDU = 1476;
  }
  return p;
}

// An application layer on a manual clock over a scripted network, opened with the device's
// default settings (3000 ms, 2000 ms, 3 retries), recording what it delivers upward.
class AppTest : public ::testing::Test {
 protected:
  AppTest() {
    loop.SetClock(&clock);
    app.Network = &net;
    app.OnIndication = [this](void*, const TBACnetPDU& pdu) {
      up.push_back(pdu);
      if (on_indication) on_indication(pdu);
    };
    app.OnTransactionFailed = [this](void*, int handle) {
      failed.push_back(handle);
      if (on_failed) on_failed(handle);
    };
    app.APDUTimeout = 3000;
    app.APDUSegmentTimeout = 2000;
    app.APDURetries = 3;
    app.Open(true);
  }

  // 100 ms ticks of the application layer's timer.
  void Tick(int n = 1) { loop.AdvanceClock(100 * n); }

  TBACnetPDU Request(size_t length, int service = 12) {
    TBACnetPDU p;
    p.PDUType = kPDUConfirmedRequest;
    p.DestinationAddress = kPeer;
    p.SourceAddress = kMe;
    p.ServiceChoice = service;
    p.ServiceData = Pattern(length);
    return p;
  }

  platform::ManualClock clock;
  platform::MessageLoop loop;
  ScriptedNetwork net;
  TBACnetApplication app{loop};
  std::vector<TBACnetPDU> up;
  std::vector<int> failed;
  std::function<void(const TBACnetPDU&)> on_indication;
  std::function<void(int)> on_failed;
};

}  // namespace zb::bacnet::test
