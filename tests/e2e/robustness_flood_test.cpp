// The driver server under datagram floods at its BACnet/IP port, inside the private test network:
// malformed and random datagrams, Who-Is and I-Am storms. The host keeps polling throughout and
// must always be answered, the server's resident memory must stay flat once warmed up, and a
// real read from the site device must succeed right after.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

#include "commands_harness.h"
#include "robustness.h"
#include "tests/common/udp_probe.h"

namespace zb::e2e {
namespace {

const std::string kAV1 = "10.47.0.2-AVAL#1";

std::string Be16(size_t n) { return {char((n >> 8) & 0xFF), char(n & 0xFF)}; }

// One datagram of the flood: random octets, BVLL headers whose length disagrees with the
// datagram, valid BVLL around random NPDUs and APDUs, forwarded NPDUs naming random origins,
// Who-Is and I-Am for random devices.
class Flood {
 public:
  explicit Flood(unsigned seed) : rng_(seed) {}
  std::string Next() {
    std::string d;
    switch (Pick(10)) {
      case 0:
      case 1:
      case 2:
        d = Random(Pick(700));
        break;
      case 3: {
        d = std::string("\x81", 1) + char(Pick(16)) + Be16(Pick(2000)) + Random(Pick(60));
        break;
      }
      case 4:
      case 5: {
        std::string npdu = std::string("\x01", 1) + char(Pick(256)) + Random(Pick(40));
        d = std::string("\x81\x0A", 2) + Be16(4 + npdu.size()) + npdu;
        break;
      }
      case 6: {
        std::string apdu = char(Pick(8) << 4 | Pick(16)) + Random(Pick(30));
        std::string npdu = std::string("\x01\x04", 2) + apdu;
        d = std::string("\x81\x0A", 2) + Be16(4 + npdu.size()) + npdu;
        break;
      }
      case 7: {
        std::string npdu = std::string("\x01\x00", 2) + Random(Pick(30));
        std::string origin = std::string("\x0A\x2F\x00", 3) + char(Pick(256)) + Random(2);
        d = std::string("\x81\x04", 2) + Be16(10 + npdu.size()) + origin + npdu;
        break;
      }
      case 8:
        d = std::string("\x81\x0B\x00\x08\x01\x00\x10\x08", 8);
        break;
      default:
        d = IAm(Pick(1 << 22));
        break;
    }
    return d;
  }
  static std::string IAm(unsigned instance) {
    std::string apdu = std::string("\x10\x00\xC4", 3) + char(0x02 | (instance >> 16 & 0x3F)) +
                       char(instance >> 8 & 0xFF) + char(instance & 0xFF) +
                       std::string("\x22\x01\xE0\x91\x03\x21\x63", 7);
    std::string npdu = std::string("\x01\x00", 2) + apdu;
    return std::string("\x81\x0B", 2) + Be16(4 + npdu.size()) + npdu;
  }
  unsigned Pick(unsigned n) { return n ? unsigned(rng_() % n) : 0; }
  std::string Random(size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(rng_());
    return s;
  }

 private:
  std::mt19937 rng_;
};

class RobustnessFlood : public CommandsTest {
 protected:
  void SetUp() override { SmallAsanQuarantine(); }
  // Sends `count` datagrams from host 2, polling the host connection every `every`; false (and
  // a failure) when a poll went unanswered.
  void Send(test::UdpProbe& probe, int count, int every, const std::function<std::string()>& next,
            int o) {
    for (int i = 0; i < count; ++i) {
      probe.SendTo(net_->Address(0), 47808, next());
      if ((i + 1) % every == 0) {
        Texts t = host_.CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"});
        ASSERT_FALSE(t.empty()) << "host call unanswered after " << i + 1 << " datagrams";
        ASSERT_EQ(t[0].rfind("COMMANDSTATUS=", 0), 0u) << Join(t);
        ++polls_;
      }
    }
  }
  void ExpectRealRead(int o) {
    EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", "POINT={Boiler}{" + kAV1 + "}{}{}"}),
              (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "VALUE=21.5", ""}))
        << server_.LogText();
  }
  int polls_ = 0;
};

TEST_F(RobustnessFlood, MalformedAndRandomDatagrams) {
  ZB_START_SITE(3, false);
  if (IsSkipped()) return;
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();
  ExpectRealRead(o);
  const int pid = ChildPid("zelbacnet-serv");
  ASSERT_GT(pid, 0);

  std::unique_ptr<test::UdpProbe> probe;
  net_->In(2, [&] { probe = std::make_unique<test::UdpProbe>("0.0.0.0", 47809); });
  ASSERT_TRUE(probe->ok());
  Flood flood(11);
  auto next = [&] { return flood.Next(); };

  // Warm up (bindings fill towards their limit, buffers reach their size), then the rest.
  Send(*probe, 20000, 500, next, o);
  if (HasFatalFailure()) return;
  const long before = RssKb(pid);
  Send(*probe, 80000, 500, next, o);
  if (HasFatalFailure()) return;
  // Let the server work off what its socket still holds before measuring.
  Texts t = host_.CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"});
  ASSERT_FALSE(t.empty());
  const long after = RssKb(pid);
  std::printf("flood: 100000 datagrams, %d host polls answered, VmRSS %ld kB -> %ld kB\n", polls_,
              before, after);
  EXPECT_GT(before, 0);
  EXPECT_LT(after - before, 8 * 1024) << "server memory grew under the flood";
  ExpectRealRead(o);
}

TEST_F(RobustnessFlood, WhoIsAndIAmStorms) {
  ZB_START_SITE(3, false);
  if (IsSkipped()) return;
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();
  const int pid = ChildPid("zelbacnet-serv");
  ASSERT_GT(pid, 0);
  std::unique_ptr<test::UdpProbe> probe;
  net_->In(2, [&] { probe = std::make_unique<test::UdpProbe>("0.0.0.0", 47809); });
  ASSERT_TRUE(probe->ok());

  // Who-Is storm: each is answered with an I-Am and nothing accumulates.
  const std::string whois("\x81\x0A\x00\x08\x01\x00\x10\x08", 8);
  Send(
      *probe, 10000, 1000, [&] { return whois; }, o);
  if (HasFatalFailure()) return;
  const long before = RssKb(pid);
  // I-Am storm of ever new devices, far more than a site has.
  unsigned instance = 100000;
  Send(
      *probe, 30000, 1000, [&] { return Flood::IAm(instance++); }, o);
  if (HasFatalFailure()) return;
  Send(
      *probe, 10000, 1000, [&] { return whois; }, o);
  if (HasFatalFailure()) return;
  Texts status = Results(Run(o, {"COMMAND=SITESTATUS"}));
  const long after = RssKb(pid);
  ASSERT_GT(status.size(), 3u);
  int devices = std::atoi(status[3].c_str());
  std::printf("storm: 20000 Who-Is, 30000 I-Am; %d devices bound, VmRSS %ld kB -> %ld kB\n",
              devices, before, after);
  EXPECT_GT(devices, 1);
  EXPECT_LE(devices, 4096);
#ifndef __SANITIZE_ADDRESS__
  // Under ASan freed blocks sit in its quarantine, so resident memory says nothing of ours.
  EXPECT_LT(after - before, 16 * 1024) << "server memory grew under the storm";
#endif
  ExpectRealRead(o);
}

}  // namespace
}  // namespace zb::e2e
