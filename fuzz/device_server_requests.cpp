// Requests from the network to the driver's own device: confirmed ReadProperty,
// ReadPropertyMultiple and WriteProperty (and any other service) with arbitrary header limits,
// and the unconfirmed Who-Is, I-Am and event notification, delivered through the application
// layer so that the answers also go through its segmentation and abort rules, which bound what
// one request can make the server send and hold.
//
// Input: octet 0 = APDU type and flags as on the wire, octet 1 = the requester's limits,
// octet 2 = service choice; the rest is the service data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/application.h"
#include "bacnet/app/device.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"

namespace {

using namespace zb::bacnet;

// Records nothing; checks that every APDU handed down fits the record and decodes.
class SinkNetwork : public TBACnetNetwork {
 public:
  bool Open(bool open) override { return open; }
  size_t sent_octets = 0;
  bool SendNPDU(const TBACnetNPDU& npdu) override {
    if (npdu.Length < 0 || npdu.Length > kNPDUDataSize) std::abort();
    if (npdu.Length > MaxAPDULength()) std::abort();
    sent_octets += static_cast<size_t>(npdu.Length);
    TBACnetPDU pdu;
    if (npdu.Length > 0 && !DecodeAPDU(npdu.Data, npdu.Length, pdu)) std::abort();
    return true;
  }
  int MaxAPDULength() override { return 206; }
  int MaxAPDUCode() override { return 2; }
  int WindowLimit() override { return 0; }
  void SetParameter(int, const zb::Variant&) override {}
  void GetParameter(int kind, zb::Variant& value) override {
    if (kind == 3) value = zb::Variant(std::string("\x0a\x00\x00\x01\xba\xc0", 6));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  zb::platform::MessageLoop loop;
  SinkNetwork net;
  TBACnetApplication app(loop);
  TBACnetDevice dev(loop);
  app.Network = &net;
  dev.App = &app;
  dev.LoadStoredDefaults();
  dev.ProfileName = "fuzz";
  // An object list of data[1] % 8 objects, so that every Object_List path runs.
  const int objects = data[1] % 8;
  dev.OnObjectListRead = [objects](void*, int index, int& type, int& instance) {
    if (index == 0)
      instance = objects;
    else if (index <= objects) {
      type = index;
      instance = index * 7;
    }
  };
  int writes = 0;
  // Without an owner the write is refused: both ways are fuzzed.
  if (data[1] & 0x80)
    dev.OnPropertyWrite = [&](void*, int, int, int, int, const zb::Variant& v, int) {
      writes += v.Count();
    };
  dev.OnNotificationReceived = [](void*, const TBACnetPDU&) {};
  dev.OnTrace = [](void*, const std::string&, int) {};
  if (!dev.Open(true)) return 0;

  // Header: type and flags, then for confirmed requests the limits and an invoke ID.
  const uint8_t type = data[0] >> 4;
  std::string apdu;
  if (type == 0) {
    apdu = {static_cast<char>(data[0] & 0x02), static_cast<char>(data[1]), 9,
            static_cast<char>(data[2])};
  } else {
    apdu = {0x10, static_cast<char>(data[2])};
  }
  apdu.append(reinterpret_cast<const char*>(data) + 3, size - 3);
  if (apdu.size() > static_cast<size_t>(kNPDUDataSize)) return 0;

  TBACnetNPDU npdu;
  ClearNPDU(npdu);
  npdu.SourceAddress = std::string("\x0a\x00\x00\x02\xba\xc0", 6);
  npdu.DestinationAddress = std::string("\x0a\x00\x00\x01\xba\xc0", 6);
  npdu.ExpectingReply = type == 0;
  npdu.Length = static_cast<int32_t>(apdu.size());
  std::copy(apdu.begin(), apdu.end(), npdu.Data);
  app.ReceiveAPDU(npdu);
  // A segmented answer waits for segment ACKs that never come: let the timers end it.
  for (int i = 0; i < 8 && app.TransactionCount() > 0; ++i) app.TickTransactions();
  // One request never gets more than the server's answer cap out of us, and what the layer
  // holds stays within its caps.
  if (net.sent_octets > static_cast<size_t>(app.MaxServerSegments + 2) * 206) std::abort();
  if (app.ServerTransactionCount() > TBACnetApplication::kMaxServerTransactions) std::abort();
  if (app.HeldOctets() > app.MaxServerRequestLength() + 206) std::abort();
  (void)writes;
  return 0;
}
