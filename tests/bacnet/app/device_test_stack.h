// A device on a real application layer over a scripted network layer, on the manual clock:
// what the stack sends is recorded as decoded APDUs, and tests play the peer by handing APDUs
// up as if they had been received.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/application.h"
#include "bacnet/app/device.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"

namespace zb::bacnet::devtest {

// The peer's and our BACnet/IP addresses (10.0.0.2 and 10.0.0.1, port 47808).
inline const std::string kPeerMac("\x0a\x00\x00\x02\xba\xc0", 6);
inline const std::string kOurMac("\x0a\x00\x00\x01\xba\xc0", 6);
inline const char kPeerAvalText[] = "10.0.0.2-AVAL#1";

struct SentAPDU {
  TBACnetPDU pdu;      // header decoded; addressing and NetworkMessage from the NPDU
  std::string octets;  // the whole APDU
};

class ScriptedNetwork : public TBACnetNetwork {
 public:
  bool open_result = true;
  bool open_calls_flag = false;
  int open_count = 0;
  int max_apdu = 1024;
  int max_apdu_code = 4;
  std::map<int, Variant> params;
  std::vector<SentAPDU> sent;
  // Called for every APDU sent (after it was recorded).
  std::function<void(const SentAPDU&)> on_send;

  bool Open(bool open) override {
    ++open_count;
    open_calls_flag = open;
    return open && open_result;
  }
  bool SendNPDU(const TBACnetNPDU& npdu) override {
    SentAPDU s;
    ClearPDU(s.pdu);
    CopyAddressInfo(npdu, s.pdu);
    s.pdu.ExpectingReply = npdu.ExpectingReply;
    s.octets.assign(reinterpret_cast<const char*>(npdu.Data), npdu.Length);
    DecodeAPDU(npdu.Data, npdu.Length, s.pdu);
    sent.push_back(s);
    if (on_send) on_send(sent.back());
    return true;
  }
  int MaxAPDULength() override { return max_apdu; }
  int MaxAPDUCode() override { return max_apdu_code; }
  int WindowLimit() override { return 0; }
  void SetParameter(int kind, const Variant& value) override { params[kind] = value; }
  void GetParameter(int kind, Variant& value) override {
    if (kind == 3) value = Variant(kOurMac);
  }

  // Hands an APDU up as received from `source` (on network `snet`, 0 = local).
  void Receive(const std::string& apdu, const std::string& source = kPeerMac, int snet = 0,
               bool broadcast = false) {
    TBACnetNPDU n;
    ClearNPDU(n);
    n.SourceAddress = source;
    n.DestinationAddress = kOurMac;
    n.SourceNetwork = snet;
    n.SourceNetworkPresent = snet != 0;
    n.Broadcast = broadcast;
    n.Length = static_cast<int32_t>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), n.Data);
    if (OnReceive) OnReceive(this, n);
  }
};

inline std::string Bytes(std::initializer_list<int> octets) {
  std::string s;
  for (int o : octets) s += static_cast<char>(o);
  return s;
}

// Peer answers to an invoke ID.
inline std::string ComplexAck(int invoke, int service, const std::string& data) {
  return Bytes({0x30, invoke, service}) + data;
}
inline std::string SimpleAck(int invoke, int service) { return Bytes({0x20, invoke, service}); }
inline std::string ErrorPDU(int invoke, int service, int cls, int code) {
  return Bytes({0x50, invoke, service, 0x91, cls, 0x91, code});
}

struct DeviceStack {
  platform::ManualClock clock;
  platform::MessageLoop loop;
  ScriptedNetwork net;
  TBACnetApplication app{loop};
  TBACnetDevice dev{loop};
  std::vector<std::string> traces;

  DeviceStack() {
    loop.SetClock(&clock);
    app.Network = &net;
    dev.App = &app;
    dev.OnTrace = [this](void*, const std::string& text, int channel) {
      if (channel == 3) traces.push_back(text);
    };
  }
  ~DeviceStack() { loop.SetClock(nullptr); }

  // Opens and forgets what Open sent.
  bool Open() {
    bool ok = dev.Open(true);
    net.sent.clear();
    traces.clear();
    return ok;
  }
  const SentAPDU& Last() const { return net.sent.back(); }
  // Answers the last confirmed request later, from the message loop.
  void AnswerLater(std::function<std::string(int invoke)> answer) {
    const int invoke = Last().pdu.InvokeID;
    loop.Post([this, invoke, answer] { net.Receive(answer(invoke)); });
  }
  bool Traced(const std::string& text) const {
    for (const auto& t : traces)
      if (t == text) return true;
    return false;
  }
};

}  // namespace zb::bacnet::devtest
