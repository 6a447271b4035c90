// Private network namespaces for tests that open BACnet/IP sockets. Nothing a test sends can
// leave them: the test process moves into a namespace of its own, and test hosts are further
// namespaces joined only to each other through a bridge in a hub namespace.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zb::test {

// Moves the calling process into a new network namespace with only the loopback interface,
// which is brought up (127.0.0.1). Returns an empty text on success, else why it failed.
std::string EnterPrivateNetwork();

// In a gtest body: enter a private namespace or skip the test when that is impossible here.
#define ZB_REQUIRE_PRIVATE_NETWORK()                                \
  do {                                                              \
    std::string zb_netns_error = ::zb::test::EnterPrivateNetwork(); \
    if (!zb_netns_error.empty()) GTEST_SKIP() << zb_netns_error;    \
  } while (0)

// Several test hosts, each a named namespace ("zbt<pid>h<i>") with lo up and one interface
// eth0 at 10.47.0.<i+1>/24 on a common bridge, and a default route through eth0 so that
// limited broadcasts (255.255.255.255) leave every host. Everything is deleted by the
// destructor; namespaces left behind by a crashed test process are removed by the next one.
class TestNetwork {
 public:
  explicit TestNetwork(int hosts);
  ~TestNetwork();
  TestNetwork(const TestNetwork&) = delete;
  TestNetwork& operator=(const TestNetwork&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  int HostCount() const { return static_cast<int>(hosts_.size()); }
  // The namespace name, for `ip netns exec`.
  std::string Name(int host) const;
  // The namespace of the bridge that joins the hosts; its port "p<i>" carries everything host i
  // sends and receives.
  std::string HubName() const { return prefix_ + "hub"; }
  // "10.47.0.<host+1>".
  std::string Address(int host) const;
  // Adds another address to the host's eth0 (for example "10.47.0.200/24").
  bool AddAddress(int host, const std::string& cidr);
  // Two routed subnets: moves `hosts` onto a second bridge as 10.47.1.<i+1>/24, gives `router`
  // a second interface eth1 at 10.47.1.<router+1> with forwarding on, and points every other
  // host's default route at the router. Broadcasts of either subnet stay on it. Address()
  // follows the move; the router keeps its first address.
  bool Route(int router, const std::vector<int>& hosts);

  // Runs fn with the calling thread inside the host's namespace, then returns to the
  // namespace it was in. Sockets created inside stay in the host's namespace for good.
  void In(int host, const std::function<void()>& fn);

 private:
  std::string prefix_;
  std::vector<int> hosts_;   // open namespace descriptors
  std::vector<int> subnet_;  // per host: 0 or 1 (the routed second subnet)
  bool hub_ = false;
  std::string error_;
};

// In a gtest body: a TestNetwork named `var` with `n` hosts, or skip.
#define ZB_TEST_NETWORK(var, n)   \
  ::zb::test::TestNetwork var(n); \
  if (!var.ok()) GTEST_SKIP() << var.error()

// Runs a command line through /bin/sh; true when it exits with status 0. Output is discarded
// unless it fails, then it is appended to *output when given.
bool RunCommand(const std::string& command, std::string* output = nullptr);

}  // namespace zb::test
