#include "tests/common/netns.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zb::test {

namespace {

bool BringLoopbackUp(std::string& error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags |= IFF_UP;
    ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  if (!ok) error = std::string("bringing lo up: ") + std::strerror(errno);
  close(fd);
  return ok;
}

// Namespaces of earlier test processes that died before their destructors ran.
void RemoveStaleNamespaces() {
  FILE* p = popen("ip netns list 2>/dev/null", "r");
  if (!p) return;
  char line[256];
  std::vector<std::string> stale;
  while (std::fgets(line, sizeof line, p)) {
    int pid = 0;
    if (std::sscanf(line, "zbt%dh", &pid) != 1 && std::sscanf(line, "zbt%d", &pid) != 1) continue;
    if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::string name(line);
    name = name.substr(0, name.find_first_of(" \n"));
    stale.push_back(name);
  }
  pclose(p);
  for (const auto& n : stale) RunCommand("ip netns delete " + n);
}

}  // namespace

bool RunCommand(const std::string& command, std::string* output) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return false;
  std::string text;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  bool ok = status == 0;
  if (!ok && output) *output += command + ": " + text;
  return ok;
}

std::string EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0)
    return std::string("cannot create a private network namespace: ") + std::strerror(errno);
  std::string error;
  if (!BringLoopbackUp(error)) return error;
  return {};
}

TestNetwork::TestNetwork(int hosts) {
  // The test process itself goes private first, so that nothing it opens by mistake outside
  // In() can reach the machine's network either.
  error_ = EnterPrivateNetwork();
  if (!error_.empty()) return;
  RemoveStaleNamespaces();
  prefix_ = "zbt" + std::to_string(getpid());
  const std::string hub = prefix_ + "hub";
  std::string out;
  auto run = [&](const std::string& c) {
    if (!error_.empty()) return;
    if (!RunCommand(c, &out)) error_ = "test network set-up failed: " + out;
  };
  run("ip netns add " + hub);
  hub_ = error_.empty();
  run("ip -n " + hub + " link add br0 type bridge");
  run("ip -n " + hub + " link set br0 up");
  for (int i = 0; i < hosts && error_.empty(); ++i) {
    const std::string name = Name(i);
    run("ip netns add " + name);
    if (!error_.empty()) break;
    int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error_ = "cannot open namespace " + name + ": " + std::strerror(errno);
      break;
    }
    hosts_.push_back(fd);
    subnet_.push_back(0);
    const std::string port = "p" + std::to_string(i);
    run("ip -n " + hub + " link add " + port + " type veth peer name eth0 netns " + name);
    run("ip -n " + hub + " link set " + port + " master br0 up");
    run("ip -n " + name + " link set lo up");
    run("ip -n " + name + " addr add " + Address(i) + "/24 brd + dev eth0");
    run("ip -n " + name + " link set eth0 up");
    run("ip -n " + name + " route add default dev eth0");
  }
}

TestNetwork::~TestNetwork() {
  for (size_t i = 0; i < hosts_.size(); ++i) {
    close(hosts_[i]);
    RunCommand("ip netns delete " + Name(static_cast<int>(i)));
  }
  if (hub_) RunCommand("ip netns delete " + prefix_ + "hub");
}

std::string TestNetwork::Name(int host) const { return prefix_ + "h" + std::to_string(host); }

std::string TestNetwork::Address(int host) const {
  const int subnet = host >= 0 && host < static_cast<int>(subnet_.size()) ? subnet_[host] : 0;
  return "10.47." + std::to_string(subnet) + "." + std::to_string(host + 1);
}

bool TestNetwork::Route(int router, const std::vector<int>& hosts) {
  const std::string hub = prefix_ + "hub";
  const std::string r = Name(router);
  const std::string gw0 = "10.47.0." + std::to_string(router + 1);
  const std::string gw1 = "10.47.1." + std::to_string(router + 1);
  std::string out;
  bool ok = true;
  auto run = [&](const std::string& c) { ok = ok && RunCommand(c, &out); };
  run("ip -n " + hub + " link add br1 type bridge");
  run("ip -n " + hub + " link set br1 up");
  run("ip -n " + hub + " link add r" + std::to_string(router) + " type veth peer name eth1 netns " +
      r);
  run("ip -n " + hub + " link set r" + std::to_string(router) + " master br1 up");
  run("ip -n " + r + " addr add " + gw1 + "/24 brd + dev eth1");
  run("ip -n " + r + " link set eth1 up");
  run("ip netns exec " + r + " sysctl -qw net.ipv4.ip_forward=1");
  for (int h : hosts) {
    if (h < 0 || h >= HostCount() || h == router) return false;
    subnet_[h] = 1;
    const std::string n = Name(h);
    run("ip -n " + hub + " link set p" + std::to_string(h) + " master br1");
    run("ip -n " + n + " addr flush dev eth0");
    run("ip -n " + n + " addr add " + Address(h) + "/24 brd + dev eth0");
    run("ip -n " + n + " route replace default via " + gw1);
  }
  for (int h = 0; h < HostCount(); ++h)
    if (h != router && subnet_[h] == 0)
      run("ip -n " + Name(h) + " route replace default via " + gw0);
  if (!ok) error_ = out;
  return ok;
}

bool TestNetwork::AddAddress(int host, const std::string& cidr) {
  return RunCommand("ip -n " + Name(host) + " addr add " + cidr + " brd + dev eth0");
}

void TestNetwork::In(int host, const std::function<void()>& fn) {
  int here = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (here < 0 || host < 0 || host >= HostCount() || setns(hosts_[host], CLONE_NEWNET) != 0) {
    if (here >= 0) close(here);
    throw std::runtime_error("cannot enter test host " + std::to_string(host));
  }
  struct Back {
    int fd;
    ~Back() {
      setns(fd, CLONE_NEWNET);
      close(fd);
    }
  } back{here};
  fn();
}

}  // namespace zb::test
