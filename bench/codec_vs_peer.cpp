// Codec speed side by side with the independent library: the same full-size ReadPropertyMultiple
// acknowledgement decoded into a tagged value list and encoded back, rounds per second here and
// in the npm peer (node, same run). Target: at least three times the peer's rate.
#include <cstdio>
#include <string>

#include "bacnet/app/tagged_list.h"
#include "bench/load_harness.h"
#include "bench/rpm_ack.h"

namespace {

std::string Hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) h += d[c >> 4], h += d[c & 15];
  return h;
}

double OurRate(const std::string& data, double seconds, bool& same) {
  using zb::bench::Clock;
  zb::Variant first = zb::bacnet::DecodeTaggedList(data);
  same = zb::bacnet::EncodeTaggedList(first) == data;
  long rounds = 0;
  auto start = Clock::now();
  auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::time_point now = start;
  size_t sink = 0;
  while (now < end) {
    for (int i = 0; i < 100; ++i) {
      zb::Variant list = zb::bacnet::DecodeTaggedList(data);
      sink += zb::bacnet::EncodeTaggedList(list).size();
    }
    rounds += 100;
    now = Clock::now();
  }
  if (sink == 0) std::printf("(nothing encoded)\n");
  return double(rounds) / zb::bench::Seconds(now - start);
}

}  // namespace

int main() {
  const std::string data = zb::bench::FullReadPropertyMultipleAck();
  bool same = false;
  const double ours = OurRate(data, 2.0, same);
  const std::string command =
      "node " + std::string(ZB_SOURCE_DIR) + "/bench/peer/codec_rate.js " + Hex(data) + " 2000";
  std::string reply;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p)) reply += buf;
    pclose(p);
  }
  auto field = [&](const char* name) {
    size_t at = reply.find(std::string("\"") + name + "\":");
    return at == std::string::npos ? -1.0 : std::atof(reply.c_str() + at + std::strlen(name) + 3);
  };
  const double peer_rounds = field("rounds"), peer_seconds = field("seconds");
  std::printf("codec: ReadPropertyMultiple acknowledgement of %zu octets, decode + encode\n",
              data.size());
  std::printf("  ours: %.0f rounds/s (%.1f MB/s)%s\n", ours, ours * data.size() / 1e6,
              same ? "" : "  [re-encoding differs]");
  if (peer_rounds <= 0 || peer_seconds <= 0) {
    std::printf("  peer: not measured (%s)\n", reply.c_str());
    return 0;
  }
  const double peer = peer_rounds / peer_seconds;
  std::printf("  peer: %.0f rounds/s (%.1f MB/s)%s\n", peer, peer * data.size() / 1e6,
              reply.find("\"same\":true") != std::string::npos ? "" : "  [re-encoding differs]");
  std::printf("  ratio %.2fx (target >= 3x)  load %s\n", ours / peer,
              zb::bench::LoadAverage().c_str());
  return 0;
}
