// Property: whatever a crowd of peers sends to our device (requests of every service, segmented
// or not, cut off, repeated, aborted, with any limits), the server side holds at most its caps
// of transactions and octets, every answer fits the requester and our own segment cap, and once
// the traffic stops everything it held is gone.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tsm.h"
#include "device_test_stack.h"

namespace zb::bacnet::devtest {
namespace {

using App = TBACnetApplication;

class Crowd {
 public:
  explicit Crowd(unsigned seed) : rng_(seed) {}
  unsigned Pick(unsigned n) { return n ? unsigned(rng_() % n) : 0; }
  std::string Peer() {
    const unsigned p = Pick(40);
    return std::string("\x0a\x00", 2) + char(p >> 8) + char(p) + std::string("\xba\xc0", 2);
  }
  // Service data of a request our device answers, at times very long.
  std::string Data(int service) {
    std::string d = EncodeObjectIdentifier(kTagClassContext, 0, 8, Pick(2) ? 4194303 : 998);
    if (service == 14) {
      d += EncodeOpeningTag(1);
      const unsigned refs = Pick(4) == 0 ? 2000 + Pick(20000) : 1 + Pick(40);
      for (unsigned i = 0; i < refs; ++i)
        d += EncodeUnsigned(kTagClassContext, 0, Pick(3) ? 8 : Pick(200));
      d += EncodeClosingTag(1);
    } else if (service == 12) {
      d += EncodeUnsigned(kTagClassContext, 1, Pick(2) ? 8 : 76);
    } else {
      d += std::string(Pick(3000), char(Pick(256)));
    }
    return d;
  }
  // One APDU a peer might send next.
  std::string Next(std::string& peer) {
    peer = Peer();
    const int invoke = int(Pick(256));
    const int limits = int(Pick(8) << 4 | Pick(6));
    const int services[] = {12, 14, 15, 5, 26};
    const int service = services[Pick(5)];
    switch (Pick(6)) {
      case 0:
      case 1: {
        const std::string d = Data(service);
        if (d.size() + 4 < 1000)
          return std::string{char(0x02), char(limits), char(invoke), char(service)} + d;
        return Segment(d, invoke, limits, service, 0);
      }
      case 2:
        return Segment(Data(service), invoke, limits, service, Pick(60));
      case 3:
        return std::string{char(0x40), char(invoke), char(Pick(256)), char(1 + Pick(127))};
      case 4:
        return std::string{char(0x70), char(invoke), char(Pick(12))};
      default: {
        std::string junk(Pick(60), '\0');
        for (char& c : junk) c = char(rng_());
        return junk;
      }
    }
  }
  // Segment k (of 900 octets) of a request carrying d.
  std::string Segment(const std::string& d, int invoke, int limits, int service, unsigned k) {
    const size_t size = 900, count = (d.size() + size - 1) / size;
    if (k >= count) k = unsigned(count ? count - 1 : 0);
    const bool more = k + 1 < count;
    return std::string{char(0x0A | (more ? 0x04 : 0)),
                       char(limits),
                       char(invoke),
                       char(k),
                       char(1 + Pick(127)),
                       char(service)} +
           d.substr(k * size, size);
  }

 private:
  std::mt19937 rng_;
};

TEST(ServerBoundsProperty, HeldTransactionsOctetsAndAnswersStayWithinTheCaps) {
  for (unsigned seed : {1u, 2u, 3u}) {
    DeviceStack s;
    s.net.max_apdu = 1024;
    ASSERT_TRUE(s.Open());
    s.dev.OnTrace = nullptr;
    Crowd crowd(seed);
    const size_t per_transaction = s.app.MaxServerRequestLength();
    size_t most_held = 0, received = 0, sent_octets = 0;
    int most_open = 0;
    std::map<std::string, int> segments_per_answer;
    s.net.on_send = [&](const SentAPDU& a) {
      ASSERT_LE(a.octets.size(), 1024u);
      sent_octets += a.octets.size();
      if (a.pdu.PDUType == kPDUComplexAck && a.pdu.SegmentedMessage) {
        // Counted by sequence number: repeats of a window do not count twice.
        const std::string key =
            a.pdu.DestinationAddress.str() + ":" + std::to_string(a.pdu.InvokeID);
        segments_per_answer[key] = std::max(segments_per_answer[key], a.pdu.SequenceNumber + 1);
      }
    };
    for (int step = 0; step < 6000; ++step) {
      std::string peer;
      const std::string apdu = crowd.Next(peer);
      if (apdu.size() > static_cast<size_t>(kNPDUDataSize)) continue;
      received += apdu.size();
      s.net.Receive(apdu, peer);
      if (step % 20 == 0) s.loop.AdvanceClock(100 * (1 + crowd.Pick(30)));
      most_open = std::max(most_open, s.app.ServerTransactionCount());
      most_held = std::max(most_held, s.app.HeldOctets());
      ASSERT_LE(s.app.ServerTransactionCount(), App::kMaxServerTransactions);
      ASSERT_LE(s.app.HeldOctets(), App::kMaxServerTransactions * (per_transaction + 1024))
          << "seed " << seed << " step " << step;
      ASSERT_LE(s.net.sent.size(), 200000u);
      s.net.sent.clear();
    }
    for (const auto& [key, n] : segments_per_answer) ASSERT_LE(n, s.app.MaxServerSegments) << key;
    // Quiet: every transaction ends on the timer and nothing is held.
    s.loop.AdvanceClock(60000);
    EXPECT_EQ(s.app.TransactionCount(), 0) << "seed " << seed;
    EXPECT_EQ(s.app.HeldOctets(), 0u);
    std::printf(
        "seed %u: %zu octets in, %zu out; at most %d server transactions, %zu octets held\n", seed,
        received, sent_octets, most_open, most_held);
  }
}

}  // namespace
}  // namespace zb::bacnet::devtest
