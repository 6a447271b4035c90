// Cost of the application layer's hot paths over a network layer that only counts: a confirmed
// request answered at once, reassembly of a long segmented complex ACK, sending a long
// segmented answer, and the 100 ms tick over a full table of waiting requests.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/application.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"

namespace zb::bacnet {
namespace {

const std::string kPeer("\x0A\x00\x00\x02\xBA\xC0", 6);
const std::string kMe("\x0A\x00\x00\x01\xBA\xC0", 6);

class CountingNetwork : public TBACnetNetwork {
 public:
  int sent = 0;
  TBACnetPDU last;
  bool Open(bool open) override { return open; }
  bool SendNPDU(const TBACnetNPDU& npdu) override {
    ++sent;
    DecodeAPDU(npdu.Data, npdu.Length, last);
    return true;
  }
  int MaxAPDULength() override { return 1476; }
  int MaxAPDUCode() override { return 5; }
  int WindowLimit() override { return 0; }
  void Receive(const TBACnetPDU& pdu, int max_code = 0x75) {
    std::string apdu;
    EncodeAPDU(pdu, 5, apdu);
    if (pdu.PDUType == kPDUConfirmedRequest) apdu[1] = static_cast<char>(max_code);
    npdu.SourceAddress = kPeer;
    npdu.DestinationAddress = kMe;
    npdu.Length = static_cast<int32_t>(apdu.size());
    std::memcpy(npdu.Data, apdu.data(), apdu.size());
    if (OnReceive) OnReceive(this, npdu);
  }
  TBACnetNPDU npdu;
};

struct Stack {
  Stack() {
    loop.SetClock(&clock);
    app.Network = &net;
    app.OnIndication = [this](void*, const TBACnetPDU& pdu) {
      ++delivered;
      octets += pdu.ServiceData.size();
    };
    app.Open(true);
  }
  TBACnetPDU Request() {
    TBACnetPDU p;
    p.PDUType = kPDUConfirmedRequest;
    p.DestinationAddress = kPeer;
    p.SourceAddress = kMe;
    p.ServiceChoice = 12;
    p.SegmentedResponseAccepted = true;
    p.ServiceData = std::string("\x0C\x02\x00\x00\x01\x19\x4C", 7);
    return p;
  }
  platform::ManualClock clock;
  platform::MessageLoop loop;
  CountingNetwork net;
  TBACnetApplication app{loop};
  int delivered = 0;
  size_t octets = 0;
};

void BM_RequestAnswered(benchmark::State& state) {
  Stack s;
  TBACnetPDU ack;
  ack.PDUType = kPDUComplexAck;
  ack.ServiceChoice = 12;
  ack.ServiceData = std::string("\x0C\x00\x00\x00\x05\x19\x55\x3E\x44\x42\x28\x00\x00\x3F", 14);
  for (auto _ : state) {
    const int h = s.app.SendRequest(s.Request());
    ack.InvokeID = static_cast<uint8_t>(h);
    s.net.Receive(ack);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestAnswered);

// A complex ACK of `segments` segments of 1400 octets in windows of 16.
void BM_ReassembleSegmentedAck(benchmark::State& state) {
  const int segments = static_cast<int>(state.range(0));
  Stack s;
  std::string data(1400, '\x21');
  const uint32_t content = static_cast<uint32_t>(segments) * 1400 - 6;
  std::string first = data;
  first.replace(0, 6,
                std::string{'\x65', '\xFF', static_cast<char>(content >> 24),
                            static_cast<char>(content >> 16), static_cast<char>(content >> 8),
                            static_cast<char>(content)});
  for (auto _ : state) {
    const int h = s.app.SendRequest(s.Request());
    TBACnetPDU seg;
    seg.PDUType = kPDUComplexAck;
    seg.SegmentedMessage = true;
    seg.InvokeID = static_cast<uint8_t>(h);
    seg.ProposedWindowSize = 16;
    seg.ServiceChoice = 12;
    seg.ServiceData = data;
    for (int k = 0; k < segments; ++k) {
      // One octet string spanning the whole message, so that decoding it upward stays cheap.
      seg.ServiceData = k == 0 ? first : data;
      seg.SequenceNumber = static_cast<uint8_t>(k);
      seg.MoreFollows = k < segments - 1;
      s.net.Receive(seg);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * segments * 1400);
}
BENCHMARK(BM_ReassembleSegmentedAck)->Arg(16)->Arg(300);

// The device answers a request with `segments` × 1400 octets; the client acknowledges windows
// of 16.
void BM_SendSegmentedAnswer(benchmark::State& state) {
  const int segments = static_cast<int>(state.range(0));
  Stack s;
  int invoke = 0, handle = 0;
  const std::string answer(static_cast<size_t>(segments) * 1400, '\x22');
  s.app.OnIndication = [&](void*, const TBACnetPDU& req) {
    handle = req.TransactionHandle;
    TBACnetPDU resp = req;
    SwapAddressInfo(resp);
    resp.Values = Variant("");
    resp.MaxAPDU = 1476;
    resp.ServiceData = answer;
    s.app.SendComplexAck(req.TransactionHandle, resp);
  };
  for (auto _ : state) {
    TBACnetPDU req = s.Request();
    req.InvokeID = static_cast<uint8_t>(invoke = (invoke + 1) & 0xFF);
    s.net.Receive(req);
    TBACnetPDU ack;
    ack.PDUType = kPDUSegmentAck;
    ack.InvokeID = req.InvokeID;
    ack.ActualWindowSize = 16;
    // Acknowledge the last segment of every window until the transfer is complete.
    while (s.app.FindTransaction(handle) != nullptr) {
      ack.SequenceNumber = s.net.last.SequenceNumber;
      s.net.Receive(ack);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * segments * 1400);
}
BENCHMARK(BM_SendSegmentedAnswer)->Arg(16)->Arg(300);

// One tick over `n` requests waiting for their answers.
void BM_Tick(benchmark::State& state) {
  Stack s;
  s.app.APDUTimeout = 1'000'000'000;
  for (int i = 0; i < state.range(0); ++i) s.app.SendRequest(s.Request());
  for (auto _ : state) s.app.TickTransactions();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Tick)->Arg(32)->Arg(255);

}  // namespace
}  // namespace zb::bacnet

BENCHMARK_MAIN();
