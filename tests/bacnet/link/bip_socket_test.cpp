// The BACnet/IP link on real sockets, inside private network namespaces.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bacnet/link/data_link_bip.h"
#include "tests/common/netns.h"
#include "tests/common/udp_probe.h"

namespace zb::bacnet {
namespace {

using test::Hex;
using test::RunLoopFor;
using test::RunLoopUntil;
using test::UdpProbe;

std::string Octets(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}

TBACnetFrame Frame(const std::string& npdu, const std::string& destination,
                   bool broadcast = false) {
  TBACnetFrame f;
  f.DestinationAddress = destination;
  f.Broadcast = broadcast;
  f.Length = static_cast<int>(npdu.size());
  std::copy(npdu.begin(), npdu.end(), f.Data);
  return f;
}

// A link with its trace and received frames recorded.
struct Node {
  explicit Node(platform::MessageLoop& loop) : link(loop) {
    link.OnTrace = [this](void*, const std::string& t, int) { trace.push_back(t); };
    link.OnReceive = [this](void*, const TBACnetFrame& f) { frames.push_back(f); };
  }
  std::string Data(size_t i) const {
    return std::string(reinterpret_cast<const char*>(frames.at(i).Data), frames.at(i).Length);
  }
  TBACnetDataLinkBIP link;
  std::vector<std::string> trace;
  std::vector<TBACnetFrame> frames;
};

const std::string kNPDU = Octets({0x01, 0x04, 0x00, 0x05, 0x01, 0x0C, 0x0C, 0x02, 0x00, 0x00});

class BIPSockets : public ::testing::Test {
 protected:
  void Open(Node& node, int host, const std::string& address) {
    net->In(host, [&] {
      node.link.SetLocalHost(address);
      ASSERT_TRUE(node.link.SetActive(true)) << ::testing::PrintToString(node.trace);
    });
  }
  platform::MessageLoop loop;
  std::unique_ptr<test::TestNetwork> net;
};

#define NEED_HOSTS(n)                           \
  net = std::make_unique<test::TestNetwork>(n); \
  if (!net->ok()) GTEST_SKIP() << net->error()

TEST_F(BIPSockets, UnicastLeavesAsOriginalUnicastToTheGivenPortAndTraces) {
  NEED_HOSTS(2);
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  std::unique_ptr<UdpProbe> peer;
  net->In(1, [&] { peer = std::make_unique<UdpProbe>("10.47.0.2", 47808); });
  ASSERT_TRUE(peer->ok());

  ASSERT_TRUE(a.link.Send(Frame(kNPDU, Octets({10, 47, 0, 2, 0xBA, 0xC0}))));
  std::string got, host;
  int port = 0;
  ASSERT_TRUE(peer->Receive(got, 2000, &host, &port));
  EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x0A, 0x00, 0x0E}) + kNPDU));
  EXPECT_EQ(host, "10.47.0.1");
  EXPECT_EQ(port, 47808);
  ASSERT_EQ(a.trace.size(), 1u);
  EXPECT_EQ(a.trace[0], "SendPacket: [81][0a][00][0e][01][04][00][05][01][0c][0c][02][00][00]");

  // A 4-octet destination means the link's own port.
  ASSERT_TRUE(a.link.Send(Frame(kNPDU, Octets({10, 47, 0, 2}))));
  ASSERT_TRUE(peer->Receive(got, 2000));
  EXPECT_EQ(got.substr(4), kNPDU);
}

TEST_F(BIPSockets, DestinationWithTheOctet5DReachesThatHost) {
  NEED_HOSTS(2);
  ASSERT_TRUE(net->AddAddress(1, "10.47.0.93/24"));
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  std::unique_ptr<UdpProbe> peer;
  net->In(1, [&] { peer = std::make_unique<UdpProbe>("10.47.0.93", 0xBAC5); });
  ASSERT_TRUE(peer->ok());
  a.link.Send(Frame(kNPDU, Octets({10, 47, 0, 0x5D, 0xBA, 0xC5})));
  std::string got;
  ASSERT_TRUE(peer->Receive(got, 2000));
  EXPECT_EQ(got.substr(4), kNPDU);
}

TEST_F(BIPSockets, BroadcastReachesOtherHostsAtTheLinksPortButNotItsSender) {
  NEED_HOSTS(3);
  Node a(loop), b(loop);
  a.link.SetUDPPort(47810);
  b.link.SetUDPPort(47810);
  Open(a, 0, "10.47.0.1");
  Open(b, 1, "10.47.0.2");
  std::unique_ptr<UdpProbe> any;
  net->In(2, [&] { any = std::make_unique<UdpProbe>("0.0.0.0", 47810); });
  ASSERT_TRUE(any->ok());

  const std::string bcast = Octets({0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08});
  ASSERT_TRUE(a.link.Send(Frame(bcast, Octets({10, 47, 0, 3, 0xBA, 0xC0}), true)));
  std::string got, host;
  // Generous: on a loaded machine the first broadcast into a fresh namespace can take a while.
  ASSERT_TRUE(any->Receive(got, 5000, &host));
  EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x0B, 0x00, 0x0C}) + bcast));
  EXPECT_EQ(host, "10.47.0.1");

  // The other link, bound to its own unicast address, still hears the broadcast.
  ASSERT_TRUE(RunLoopUntil([&] { return !b.frames.empty(); }, 2000, loop));
  EXPECT_TRUE(b.frames[0].Broadcast);
  EXPECT_EQ(b.Data(0), bcast);
  EXPECT_EQ(b.frames[0].SourceAddress, Octets({10, 47, 0, 1, 0xBA, 0xC2}));
  // Its own broadcast comes back to the sender and is filtered out.
  RunLoopFor(200, loop);
  EXPECT_TRUE(a.frames.empty());
}

TEST_F(BIPSockets, DirectedBroadcastOfTheSubnetIsHeard) {
  NEED_HOSTS(2);
  Node b(loop);
  Open(b, 1, "10.47.0.2");
  std::unique_ptr<UdpProbe> peer;
  net->In(0, [&] { peer = std::make_unique<UdpProbe>("10.47.0.1", 47808); });
  ASSERT_TRUE(peer->SendTo("10.47.0.255", 47808, Octets({0x81, 0x0B, 0x00, 0x06, 0x01, 0x00})));
  ASSERT_TRUE(RunLoopUntil([&] { return !b.frames.empty(); }, 2000, loop));
  EXPECT_TRUE(b.frames[0].Broadcast);
}

TEST_F(BIPSockets, BroadcastsGoToTheBoundInterfacesDirectedBroadcastAndBothKindsAreHeard) {
  NEED_HOSTS(2);
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  EXPECT_EQ(a.link.BroadcastHost(), "10.47.0.255");
  // A node that listens on the subnet's broadcast address only, as some stacks do by default.
  std::unique_ptr<UdpProbe> subnet, sender;
  net->In(1, [&] {
    subnet = std::make_unique<UdpProbe>("10.47.0.255", 47808);
    sender = std::make_unique<UdpProbe>("10.47.0.2", 47808);
  });
  ASSERT_TRUE(subnet->ok());
  const std::string bcast = Octets({0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08});
  ASSERT_TRUE(a.link.Send(Frame(bcast, "", true)));
  std::string got;
  ASSERT_TRUE(subnet->Receive(got, 2000));
  EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x0B, 0x00, 0x0C}) + bcast));

  const std::string d = Octets({0x81, 0x0B, 0x00, 0x06, 0x01, 0x00});
  ASSERT_TRUE(sender->SendTo("255.255.255.255", 47808, d));
  ASSERT_TRUE(sender->SendTo("10.47.0.255", 47808, d));
  ASSERT_TRUE(RunLoopUntil([&] { return a.frames.size() == 2; }, 2000, loop));
}

TEST_F(BIPSockets, OnlyOurOwnAddressAndPortIsOurEcho) {
  NEED_HOSTS(2);
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  std::unique_ptr<UdpProbe> same_host, other_host;
  net->In(0, [&] { same_host = std::make_unique<UdpProbe>("10.47.0.1", 40000); });
  net->In(1, [&] { other_host = std::make_unique<UdpProbe>("10.47.0.2", 40000); });
  const std::string d = Octets({0x81, 0x0A, 0x00, 0x06, 0x01, 0x00});
  // Another program on our own machine is a peer like any other.
  ASSERT_TRUE(same_host->SendTo("10.47.0.1", 47808, d));
  ASSERT_TRUE(RunLoopUntil([&] { return a.frames.size() == 1; }, 2000, loop));
  EXPECT_EQ(a.frames[0].SourceAddress, Octets({10, 47, 0, 1, 0x9C, 0x40}));
  ASSERT_TRUE(other_host->SendTo("10.47.0.1", 47808, d));
  ASSERT_TRUE(RunLoopUntil([&] { return a.frames.size() == 2; }, 2000, loop));
  EXPECT_EQ(a.frames[1].SourceAddress, Octets({10, 47, 0, 2, 0x9C, 0x40}));
}

TEST_F(BIPSockets, BBMDAndForeignDeviceFunctionsAreRefusedWithTheirNAK) {
  NEED_HOSTS(2);
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  std::unique_ptr<UdpProbe> peer;
  net->In(1, [&] { peer = std::make_unique<UdpProbe>("10.47.0.2", 47808); });
  const std::vector<std::pair<std::string, int>> asks = {
      {Octets({0x81, 0x01, 0x00, 0x0E, 10, 47, 0, 2, 0xBA, 0xC0, 255, 255, 255, 255}), 0x10},
      {Octets({0x81, 0x02, 0x00, 0x04}), 0x20},
      {Octets({0x81, 0x05, 0x00, 0x06, 0x00, 0x3C}), 0x30},
      {Octets({0x81, 0x06, 0x00, 0x04}), 0x40},
      {Octets({0x81, 0x08, 0x00, 0x0A, 10, 47, 0, 2, 0xBA, 0xC0}), 0x50},
      {Octets({0x81, 0x09, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}), 0x60},
  };
  for (const auto& [ask, code] : asks) {
    ASSERT_TRUE(peer->SendTo("10.47.0.1", 47808, ask));
    std::string got;
    ASSERT_TRUE(RunLoopUntil([&] { return peer->Receive(got, 0); }, 2000, loop)) << code;
    EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x00, 0x00, 0x06, 0x00, code})));
  }
  EXPECT_TRUE(a.frames.empty());
  // A result or an acknowledgement is not a question.
  peer->SendTo("10.47.0.1", 47808, Octets({0x81, 0x00, 0x00, 0x06, 0x00, 0x30}));
  peer->SendTo("10.47.0.1", 47808, Octets({0x81, 0x03, 0x00, 0x04}));
  RunLoopFor(300, loop);
  std::string got;
  EXPECT_FALSE(peer->Receive(got, 0));
}

TEST_F(BIPSockets, ClosedLinkFreesItsPortAndANewPortRebinds) {
  NEED_HOSTS(2);
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  std::unique_ptr<UdpProbe> peer;
  net->In(1, [&] { peer = std::make_unique<UdpProbe>("10.47.0.2", 47808); });
  const std::string d = Octets({0x81, 0x0A, 0x00, 0x06, 0x01, 0x00});

  EXPECT_FALSE(a.link.SetActive(false));
  EXPECT_FALSE(a.link.Socket().Active());
  peer->SendTo("10.47.0.1", 47808, d);
  RunLoopFor(150, loop);
  EXPECT_TRUE(a.frames.empty());
  // Another session can take the port.
  std::unique_ptr<UdpProbe> next;
  net->In(0, [&] { next = std::make_unique<UdpProbe>("10.47.0.1", 47808); });
  EXPECT_TRUE(next->ok());
  next.reset();

  net->In(0, [&] { a.link.SetUDPPort(47809); });
  EXPECT_FALSE(a.link.Socket().Active());
  net->In(0, [&] { EXPECT_TRUE(a.link.SetActive(true)); });
  EXPECT_EQ(a.link.Socket().LocalPort(), 47809);
  Variant v;
  a.link.GetParameter(3, v);
  EXPECT_EQ(v.AsTextRaw(), Octets({10, 47, 0, 1, 0xBA, 0xC1}));
  peer->SendTo("10.47.0.1", 47809, d);
  ASSERT_TRUE(RunLoopUntil([&] { return a.frames.size() == 1; }, 2000, loop));
  EXPECT_EQ(a.frames[0].DestinationAddress, Octets({10, 47, 0, 1, 0xBA, 0xC1}));
}

TEST_F(BIPSockets, NewLocalHostRebindsAnActiveSocket) {
  NEED_HOSTS(2);
  ASSERT_TRUE(net->AddAddress(0, "10.47.0.77/24"));
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  net->In(0, [&] { a.link.SetLocalHost("10.47.0.77"); });
  EXPECT_TRUE(a.link.Socket().Active());
  EXPECT_EQ(a.link.Socket().LocalHost(), "10.47.0.77");
  std::unique_ptr<UdpProbe> peer;
  net->In(1, [&] { peer = std::make_unique<UdpProbe>("10.47.0.2", 47808); });
  a.link.Send(Frame(kNPDU, Octets({10, 47, 0, 2})));
  std::string got, host;
  ASSERT_TRUE(peer->Receive(got, 2000, &host));
  EXPECT_EQ(host, "10.47.0.77");
}

TEST_F(BIPSockets, PortInUseFailsTheOpenWithATraceAndLeavesTheSocketInactive) {
  NEED_HOSTS(1);
  std::unique_ptr<UdpProbe> squatter;
  net->In(0, [&] { squatter = std::make_unique<UdpProbe>("10.47.0.1", 47808); });
  ASSERT_TRUE(squatter->ok());
  Node a(loop);
  net->In(0, [&] {
    a.link.SetLocalHost("10.47.0.1");
    EXPECT_FALSE(a.link.SetActive(true));
  });
  EXPECT_FALSE(a.link.Active);
  EXPECT_FALSE(a.link.Socket().Active());
  ASSERT_EQ(a.trace.size(), 1u);
  EXPECT_EQ(a.trace[0].rfind("Execpt: ", 0), 0u) << a.trace[0];

  // A re-bind that fails is silent and leaves it inactive; a free port works again.
  net->In(0, [&] {
    a.link.SetUDPPort(47811);
    EXPECT_TRUE(a.link.SetActive(true));
    a.link.SetUDPPort(47808);
  });
  EXPECT_FALSE(a.link.Socket().Active());
  EXPECT_EQ(a.trace.size(), 1u);
}

TEST_F(BIPSockets, ReadyToSendFollowsActivation) {
  NEED_HOSTS(1);
  Node a(loop);
  EXPECT_FALSE(a.link.ReadyToSend);
  Open(a, 0, "10.47.0.1");
  ASSERT_TRUE(RunLoopUntil([&] { return a.link.ReadyToSend; }, 1000, loop));
}

TEST_F(BIPSockets, DatagramsHeldUpByABlockedSocketLeaveWhenItIsReadyAgain) {
  NEED_HOSTS(2);
  // A slow queueing discipline on the sender's interface and a small send buffer make the
  // socket refuse datagrams for a while.
  if (!test::RunCommand("ip netns exec " + net->Name(0) +
                        " tc qdisc add dev eth0 root tbf rate 8kbit burst 1600 latency 60s"))
    GTEST_SKIP() << "no tbf queueing discipline here";
  Node a(loop);
  Open(a, 0, "10.47.0.1");
  int small = 1;
  setsockopt(a.link.Socket().Descriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::unique_ptr<UdpProbe> peer;
  net->In(1, [&] { peer = std::make_unique<UdpProbe>("10.47.0.2", 47808); });

  int sent = 0;
  while (a.link.TransmitQueue().Empty() && sent < 1000) {
    TBACnetFrame f = Frame(std::string(1000, '\x01'), Octets({10, 47, 0, 2}));
    ASSERT_TRUE(a.link.Send(f));
    ++sent;
  }
  ASSERT_FALSE(a.link.TransmitQueue().Empty()) << "the socket never blocked";
  EXPECT_FALSE(a.link.ReadyToSend);
  for (int p = 0; p < 4; ++p) {
    TBACnetFrame f = Frame(std::string(1, static_cast<char>(0x10 + p)), Octets({10, 47, 0, 2}));
    f.Priority = p;
    ASSERT_TRUE(a.link.Send(f));
  }
  const size_t traced = a.trace.size();
  // Dropping the queued packets frees the send buffer.
  ASSERT_TRUE(test::RunCommand("ip netns exec " + net->Name(0) + " tc qdisc del dev eth0 root"));
  ASSERT_TRUE(RunLoopUntil([&] { return a.link.TransmitQueue().Empty(); }, 3000, loop));
  EXPECT_TRUE(a.link.ReadyToSend);
  ASSERT_EQ(a.trace.size(), traced + 5);
  // Highest priority first; the held-up datagram keeps its place before the newer one of
  // its own priority.
  EXPECT_EQ(a.trace[traced], "SendPacket: [81][0a][00][05][13]");
  EXPECT_EQ(a.trace[traced + 2], "SendPacket: [81][0a][00][05][11]");
  EXPECT_EQ(a.trace[traced + 3].rfind("SendPacket: [81][0a][03][ec][01]", 0), 0u);
  EXPECT_EQ(a.trace[traced + 4], "SendPacket: [81][0a][00][05][10]");
  std::string got, last;
  while (peer->Receive(got, 500)) last = got;
  EXPECT_EQ(Hex(last), Hex(Octets({0x81, 0x0A, 0x00, 0x05, 0x10})));
}

TEST_F(BIPSockets, EmptyLocalHostBindsTheInterfaceOfTheDefaultRoute) {
  NEED_HOSTS(2);
  Node a(loop);
  net->In(0, [&] { ASSERT_TRUE(a.link.SetActive(true)) << ::testing::PrintToString(a.trace); });
  EXPECT_EQ(a.link.Socket().LocalHost(), "10.47.0.1");
  EXPECT_TRUE(a.link.LocalHost().empty());
  EXPECT_EQ(a.link.BroadcastHost(), "10.47.0.255");
}

TEST(BIPHostName, WithoutADefaultRouteEveryAddressIsBoundNeverTheLoopbackOne) {
  ZB_REQUIRE_PRIVATE_NETWORK();
  // The host name resolves to the loopback address here: a site could never reach that.
  if (unshare(CLONE_NEWUTS) != 0 || sethostname("localhost", 9) != 0)
    GTEST_SKIP() << "cannot set a private host name";
  platform::MessageLoop loop;
  Node a(loop);
  ASSERT_TRUE(a.link.SetActive(true)) << ::testing::PrintToString(a.trace);
  EXPECT_EQ(a.link.Socket().LocalHost(), "");
  EXPECT_EQ(a.link.BroadcastHost(), "255.255.255.255");
  // Bound to every address, our own broadcasts come back from one of them and are dropped;
  // another port on this machine is heard.
  UdpProbe other("127.0.0.1", 40000);
  ASSERT_TRUE(other.SendTo("127.0.0.1", 47808, Octets({0x81, 0x0A, 0x00, 0x06, 0x01, 0x00})));
  ASSERT_TRUE(RunLoopUntil([&] { return a.frames.size() == 1; }, 2000, loop));
  a.link.ReceiveDatagram(Octets({0x81, 0x0A, 0x00, 0x06, 0x01, 0x00}), "127.0.0.1", 47808);
  EXPECT_EQ(a.frames.size(), 1u);
}

}  // namespace
}  // namespace zb::bacnet
