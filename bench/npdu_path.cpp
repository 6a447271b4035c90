// The per-datagram cost of the lower stack without sockets: wrapping an APDU into an NPDU and
// a BVLL message, and a received datagram's way from the BVLL up to the application layer's
// handler, for a small ReadProperty request and a 1024-octet APDU.
#include <benchmark/benchmark.h>

#include <string>

#include "bacnet/link/data_link_bip.h"
#include "bacnet/net/network.h"

namespace {

using namespace zb::bacnet;

class SinkLink : public TBACnetDataLink {
 public:
  bool Send(const TBACnetFrame& f) override {
    benchmark::DoNotOptimize(f.Data[0]);
    return true;
  }
};

void BM_SendNPDU(benchmark::State& state) {
  SinkLink link;
  TBACnetNetwork network;
  network.DataLink = &link;
  network.AddRouter(5, std::string("\x0A\x00\x00\x02\xBA\xC0", 6));
  TBACnetNPDU npdu;
  npdu.Length = static_cast<int>(state.range(0));
  npdu.DestinationNetwork = 5;
  npdu.DestinationAddress = "\x0C";
  npdu.ExpectingReply = true;
  for (auto _ : state) network.SendNPDU(npdu);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SendNPDU)->Arg(17)->Arg(1024);

void BM_DatagramUpToApplication(benchmark::State& state) {
  zb::platform::MessageLoop loop;
  TBACnetDataLinkBIP link(loop);
  link.SetLocalHost("10.0.0.1");
  TBACnetNetwork network;
  network.DataLink = &link;
  network.Open(false);  // installs the receiver; the socket stays closed
  int delivered = 0;
  network.OnReceive = [&](void*, const TBACnetNPDU& n) { delivered += n.Length > 0; };
  const int apdu = static_cast<int>(state.range(0));
  const int total = 4 + 6 + apdu;
  std::string datagram = {'\x81', '\x0A', static_cast<char>(total >> 8), static_cast<char>(total)};
  datagram += std::string("\x01\x08\x00\x09\x01\x21", 6) + std::string(apdu, '\x30');
  for (auto _ : state) link.ReceiveDatagram(datagram, "10.0.0.7", 47808);
  if (delivered == 0) state.SkipWithError("nothing delivered");
  state.SetBytesProcessed(state.iterations() * total);
}
BENCHMARK(BM_DatagramUpToApplication)->Arg(17)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
