#include "tests/common/udp_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace zb::test {

UdpProbe::UdpProbe(const std::string& host, int port, bool shared) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  if (shared) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  fd_ = fd;
}

UdpProbe::~UdpProbe() {
  if (fd_ >= 0) close(fd_);
}

bool UdpProbe::SendTo(const std::string& host, int port, const std::string& data) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return false;
  return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
         static_cast<ssize_t>(data.size());
}

bool UdpProbe::Receive(std::string& data, int timeout_ms, std::string* from_host, int* from_port) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[4096];
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return false;
  data.assign(buf, static_cast<size_t>(n));
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  if (from_host) *from_host = text;
  if (from_port) *from_port = ntohs(sa.sin_port);
  return true;
}

bool RunLoopUntil(const std::function<bool()>& done, int timeout_ms, platform::MessageLoop& loop) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) return false;
    loop.WaitAndProcess(left.count() < 20 ? left.count() : 20);
  }
  return true;
}

void RunLoopFor(int ms, platform::MessageLoop& loop) {
  RunLoopUntil([] { return false; }, ms, loop);
}

std::string Hex(const std::string& octets) {
  std::string s;
  char b[4];
  for (unsigned char c : octets) {
    std::snprintf(b, sizeof b, "%02x", c);
    if (!s.empty()) s += ' ';
    s += b;
  }
  return s;
}

}  // namespace zb::test
