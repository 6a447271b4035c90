// A PTP line that carries noise, frames with a bit flipped and frames cut short between the data
// frames of the far end. The far end repeats each data frame (same sequence bit) until it is
// acknowledged; the link must deliver every one exactly once and in order, never a damaged one,
// and stay connected.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bacnet/link/data_link_ptp.h"
#include "tests/common/fast_clock.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

namespace ptp = test::ptp;
constexpr int kPort = 62;

TEST(PTPLineRobustness, NoiseBitFlipsAndTruncatedFrames) {
  platform::MessageLoop loop;
  test::FastClock time{loop};
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(kPort);
  test::PTPPeer peer{loop, pty.master()};
  TBACnetDataLinkPTP link{loop};
  link.DirectConnect = true;
  link.SetComport(kPort);
  std::vector<std::string> received;
  link.OnReceive = [&](void*, const TBACnetFrame& f) {
    received.emplace_back(reinterpret_cast<const char*>(f.Data), static_cast<size_t>(f.Length));
  };
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  ASSERT_EQ(link.Machines().ConnectionState, csConnected);
  ASSERT_TRUE(time.RunUntil([&] { return link.Machines().TransmitState == tsReady; }, 1000));

  std::mt19937 rng(11);
  auto random = [&](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(rng());
    return s;
  };
  auto acks = [&](int seq) {
    return peer.Count(seq ? ptp::kAck1XOn : ptp::kAck0XOn) +
           peer.Count(seq ? ptp::kAck1XOff : ptp::kAck0XOff);
  };

  std::vector<std::string> sent;
  int repeats = 0, damaged = 0;
  for (int i = 0; i < 40; ++i) {
    // Damage first: noise (now and then with a preamble in it), a frame of other data with one
    // bit flipped, or a frame cut short.
    std::string bad = test::RefWireFrame(rng() % 2 ? ptp::kData0 : ptp::kData1,
                                         "damaged-" + std::to_string(i) + random(rng() % 40));
    switch (rng() % 4) {
      case 0:
        peer.SendRaw(random(1 + rng() % 80));
        break;
      case 1:
        peer.SendRaw(std::string("\x55\xFF", 2) + random(rng() % 12));
        break;
      case 2: {
        size_t bit = rng() % (8 * (bad.size() - 2)) + 16;  // past the preamble
        bad[bit / 8] ^= char(1 << (bit % 8));
        peer.SendRaw(bad);
        break;
      }
      default:
        peer.SendRaw(bad.substr(0, 2 + rng() % (bad.size() - 3)));
        break;
    }
    ++damaged;
    time.RunFor(rng() % 3 ? 50 : 2500);  // now and then the silence that ends a cut frame

    // Then a good data frame, repeated with its sequence bit until it is acknowledged.
    const std::string npdu = "data-" + std::to_string(i) + random(rng() % 30);
    const int seq = peer.tx_sequence;
    const int before = acks(seq);
    bool acked = false;
    for (int attempt = 0; attempt < 8 && !acked; ++attempt) {
      if (attempt > 0) ++repeats;
      peer.tx_sequence = seq;
      peer.SendData(npdu);
      acked = time.RunUntil([&] { return acks(seq) > before; }, 3000);
    }
    ASSERT_TRUE(acked) << "frame " << i << " never acknowledged";
    sent.push_back(npdu);
  }
  time.RunFor(500);
  std::printf("PTP line: %zu data frames, %d damaged stretches, %d repeats\n", sent.size(), damaged,
              repeats);
  EXPECT_EQ(received, sent) << repeats << " repeats after " << damaged << " damaged stretches";
  EXPECT_EQ(link.Machines().ConnectionState, csConnected);
  EXPECT_TRUE(link.Active);
  test::RunTask(loop, link.Activate(false));
}

}  // namespace
}  // namespace zb::bacnet
