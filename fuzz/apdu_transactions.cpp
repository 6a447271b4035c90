// Random APDUs, guided segment traffic and timer ticks fed to an application layer that has live
// client and server transactions (segmented ones included) and handlers that re-enter it.
// Beyond the sanitizers it checks that every APDU the layer sends decodes and fits the NPDU
// record, and that once the input ends every transaction dies of its timers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/application.h"
#include "bacnet/app/tsm.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"

namespace zb::bacnet {
namespace {

const std::string kPeerA("\x0A\x00\x00\x02\xBA\xC0", 6);
const std::string kPeerB("\x0A\x00\x00\x03\xBA\xC0", 6);
const std::string kMe("\x0A\x00\x00\x01\xBA\xC0", 6);

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class FuzzNetwork : public TBACnetNetwork {
 public:
  int max_apdu = 480;
  int window_limit = 0;
  bool Open(bool open) override { return open; }
  bool SendNPDU(const TBACnetNPDU& npdu) override {
    if (npdu.Length < 1 || npdu.Length > kNPDUDataSize) __builtin_trap();
    TBACnetPDU pdu;
    if (!DecodeAPDU(npdu.Data, npdu.Length, pdu)) __builtin_trap();
    return true;
  }
  int MaxAPDULength() override { return max_apdu; }
  int MaxAPDUCode() override { return 3; }
  int WindowLimit() override { return window_limit; }
  void SetParameter(int, const Variant&) override {}
  void GetParameter(int, Variant&) override {}

  void Receive(const std::string& apdu, const std::string& from) {
    TBACnetNPDU npdu;
    npdu.SourceAddress = from;
    npdu.DestinationAddress = kMe;
    npdu.Length = static_cast<int32_t>(std::min<size_t>(apdu.size(), kNPDUDataSize));
    std::memcpy(npdu.Data, apdu.data(), npdu.Length);
    if (OnReceive) OnReceive(this, npdu);
  }
};

TBACnetPDU Request(size_t length, const std::string& to) {
  TBACnetPDU p;
  p.PDUType = kPDUConfirmedRequest;
  p.DestinationAddress = to;
  p.SourceAddress = kMe;
  p.ServiceChoice = 12;
  p.SegmentedResponseAccepted = true;
  p.ServiceData.assign(length, '\x21');
  return p;
}

void Run(Input& in) {
  static const int kLengths[] = {50, 128, 206, 480, 1024, 1476};
  platform::ManualClock clock;
  platform::MessageLoop loop;
  loop.SetClock(&clock);
  FuzzNetwork net;
  const uint8_t config = in.Byte();
  net.max_apdu = kLengths[config % 6];
  net.window_limit = (config >> 3) & 7;
  TBACnetApplication app(loop);
  app.Network = &net;
  app.APDUTimeout = 100 + 100 * (config >> 6);
  app.APDUSegmentTimeout = 100;
  app.APDURetries = (config >> 4) & 3;

  int budget = 20;  // requests the handlers may add
  uint8_t answer_style = in.Byte();
  app.OnIndication = [&](void*, const TBACnetPDU& pdu) {
    if (pdu.PDUType == kPDUConfirmedRequest) {
      switch (answer_style++ % 4) {
        case 0: {
          TBACnetPDU resp = pdu;
          SwapAddressInfo(resp);
          resp.Values = Variant("");
          resp.ServiceData.assign(static_cast<size_t>(answer_style) * 37, '\x22');
          app.SendComplexAck(pdu.TransactionHandle, resp);
          break;
        }
        case 1:
          app.SendSimpleAck(pdu.TransactionHandle);
          break;
        default:
          break;  // left to the time-out
      }
    } else if (budget > 0 && (answer_style++ & 3) == 0) {
      --budget;
      app.SendRequest(Request(answer_style * 11u, kPeerA));
    }
  };
  app.OnTransactionFailed = [&](void*, int) {
    if (budget > 0 && (answer_style++ & 1)) {
      --budget;
      app.SendRequest(Request(answer_style * 5u, kPeerB));
    }
  };
  app.Open(true);

  int handles[3] = {app.SendRequest(Request(10, kPeerA)),
                    app.SendRequest(Request(net.max_apdu * 3 + 7, kPeerA)),
                    app.SendRequest(Request(net.max_apdu * 2, kPeerB))};

  while (!in.empty()) {
    const uint8_t op = in.Byte();
    const std::string& from = (op & 0x80) ? kPeerB : kPeerA;
    switch (op & 0x07) {
      case 0:
      case 1: {  // raw APDU
        std::string apdu = in.Bytes(in.Byte());
        net.Receive(apdu, from);
        break;
      }
      case 2: {  // a segment of a complex ACK or request for a live invoke ID
        const uint8_t b = in.Byte();
        std::string apdu;
        const bool request = op & 0x08;
        const int invoke = request ? in.Byte() : handles[b % 3];
        apdu += static_cast<char>((request ? 0x0A : 0x38) | ((b & 0x40) ? 0x04 : 0));
        if (request) apdu += '\x75';
        apdu += static_cast<char>(invoke);
        apdu += static_cast<char>(in.Byte());  // sequence number
        apdu += static_cast<char>(in.Byte());  // proposed window size
        apdu += '\x0C';
        apdu += in.Bytes(in.Byte() % 64);
        net.Receive(apdu, from);
        break;
      }
      case 3: {  // a segment ACK for a live invoke ID
        const uint8_t b = in.Byte();
        std::string apdu;
        apdu += static_cast<char>(0x40 | (b & 0x03));
        apdu += static_cast<char>((b & 0x04) ? in.Byte() : handles[b % 3]);
        apdu += static_cast<char>(in.Byte());
        apdu += static_cast<char>(in.Byte());
        net.Receive(apdu, from);
        break;
      }
      case 4: {  // a final answer or abort for a live invoke ID
        const uint8_t b = in.Byte();
        static const char kTypes[] = {0x20, 0x30, 0x50, 0x60, 0x70, 0x71};
        std::string apdu;
        apdu += kTypes[b % 6];
        apdu += static_cast<char>(handles[(b >> 3) % 3]);
        apdu += in.Bytes(in.Byte() % 16);
        net.Receive(apdu, from);
        break;
      }
      case 5:
        loop.AdvanceClock(100 * (1 + in.Byte() % 64));
        break;
      case 6:
        if (budget > 0) {
          --budget;
          const int h = app.SendRequest(Request(in.Byte() * 13u, from));
          if (h > 0) handles[op % 3] = h;
        }
        break;
      default: {  // the device answers whatever it was asked last, maybe twice
        const int h = in.Byte();
        TBACnetPDU resp;
        resp.DestinationAddress = from;
        resp.MaxAPDU = static_cast<uint16_t>(kLengths[op % 6]);
        resp.MaxSegments = op & 7;
        resp.SegmentedResponseAccepted = op & 0x40;
        resp.ServiceData.assign(static_cast<size_t>(in.Byte()) * 23, '\x23');
        app.SendComplexAck(h, resp);
        app.SendSimpleAck(h);
        break;
      }
    }
  }

  // Without input every transaction must end by its own timers.
  for (int round = 0; round < 240; ++round) {
    loop.AdvanceClock(5'000);
    bool live = false;
    for (int h = 1; h <= 255 && !live; ++h) live = app.FindTransaction(h) != nullptr;
    if (!live) return;
  }
  __builtin_trap();
}

}  // namespace
}  // namespace zb::bacnet

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zb::bacnet::Input in(data, size);
  zb::bacnet::Run(in);
  return 0;
}
