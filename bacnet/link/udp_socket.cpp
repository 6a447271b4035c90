#include "bacnet/link/udp_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace zb::bacnet {

namespace {

[[noreturn]] void Raise(int code, const std::string& what) {
  throw TSocketError(code, what + ": " + std::strerror(code));
}

bool ParseIPv4(const std::string& text, in_addr& addr) {
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

// Every datagram received names its sender this way; the library's formatter costs more than
// the rest of the receive.
std::string Dotted(in_addr addr) {
  const auto* octet = reinterpret_cast<const unsigned char*>(&addr.s_addr);
  std::string text;
  text.reserve(INET_ADDRSTRLEN);
  for (int i = 0; i < 4; ++i) {
    char digits[4];
    if (i) text += '.';
    text.append(digits, std::to_chars(digits, digits + sizeof digits, octet[i]).ptr);
  }
  return text;
}

// A bound, non-blocking datagram socket, or -1 with errno set.
int BoundSocket(uint32_t addr_be, uint16_t port, bool reuse) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_be;
  sa.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

TUDPSocket::TUDPSocket(platform::MessageLoop& loop) : loop_(loop) {}

TUDPSocket::~TUDPSocket() {
  *alive_ = false;
  Close();
}

void TUDPSocket::SetLocalHost(const std::string& host) {
  if (host == local_host_) return;
  if (Active()) throw TSocketError(EISCONN, "Cannot change LocalHost while the socket is active");
  local_host_ = host;
}

void TUDPSocket::SetLocalPort(uint16_t port) {
  if (port == local_port_) return;
  if (Active()) throw TSocketError(EISCONN, "Cannot change LocalPort while the socket is active");
  local_port_ = port;
}

void TUDPSocket::SetActive(bool active) {
  if (!active) {
    Close();
    return;
  }
  if (Active()) return;
  in_addr addr{};
  addr.s_addr = htonl(INADDR_ANY);
  if (!local_host_.empty() && !ParseIPv4(local_host_, addr))
    throw TSocketError(EINVAL, "Invalid local address " + local_host_);
  int fd = BoundSocket(addr.s_addr, local_port_, false);
  if (fd < 0)
    Raise(errno, "Cannot bind " + (local_host_.empty() ? "0.0.0.0" : local_host_) + ":" +
                     std::to_string(local_port_));
  fd_ = fd;
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0)
    local_port_ = ntohs(bound.sin_port);
  watch_ = loop_.Watch(fd_, POLLIN, [this](int fd, short revents) {
    if (revents & POLLOUT) OnWritable();
    if ((revents & (POLLIN | POLLERR)) && fd == fd_) OnReadable(fd);
  });
  if (addr.s_addr != htonl(INADDR_ANY)) OpenBroadcastReceivers(addr.s_addr);
  std::weak_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    auto a = alive.lock();
    if (a && *a && Active() && OnReadyToSend) OnReadyToSend(this);
  });
}

void TUDPSocket::OpenBroadcastReceivers(uint32_t local_addr) {
  // Best effort: a socket shared with other listeners on the same port (hence SO_REUSEADDR),
  // for the limited broadcast and for the directed broadcast of the interface that owns the
  // bound address. A failure only means that such broadcasts are not heard.
  std::vector<uint32_t> addrs{htonl(INADDR_BROADCAST)};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != local_addr) continue;
      if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr) {
        uint32_t b = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
        if (b != addrs[0] && b != local_addr) addrs.push_back(b);
      }
    }
    freeifaddrs(list);
  }
  for (uint32_t a : addrs) {
    int fd = BoundSocket(a, local_port_, true);
    if (fd < 0) continue;
    int watch = loop_.Watch(fd, POLLIN, [this](int fd, short) { OnReadable(fd); });
    extras_.push_back({fd, watch});
  }
}

void TUDPSocket::Close() {
  for (auto& e : extras_) {
    loop_.Unwatch(e.watch);
    close(e.fd);
  }
  extras_.clear();
  if (fd_ >= 0) {
    loop_.Unwatch(watch_);
    close(fd_);
    fd_ = -1;
    watch_ = 0;
  }
  want_write_ = false;
}

void TUDPSocket::Send(const std::string& data) {
  if (!Active()) throw TSocketError(ENOTCONN, "Socket is not active");
  in_addr addr{};
  if (!ParseIPv4(RemoteHost, addr)) throw TSocketError(EINVAL, "Invalid address " + RemoteHost);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = addr;
  to.sin_port = htons(RemotePort);
  ssize_t n;
  do {
    n = sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return;
  int e = errno;
  if (e == EAGAIN || e == EWOULDBLOCK) {
    if (!want_write_) {
      want_write_ = true;
      loop_.SetEvents(watch_, POLLIN | POLLOUT);
    }
    throw TSocketError(EWOULDBLOCK, "Send would block");
  }
  Raise(e, "Cannot send to " + RemoteHost + ":" + std::to_string(RemotePort));
}

void TUDPSocket::OnWritable() {
  if (!want_write_) return;
  want_write_ = false;
  loop_.SetEvents(watch_, POLLIN);
  if (OnReadyToSend) OnReadyToSend(this);
}

void TUDPSocket::OnReadable(int fd) {
  // One datagram per notification: the loop calls again while more are waiting, and other
  // events get their turn in between.
  char buf[MaxPacketSize];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) {
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return;
    if (OnError) OnError(this, e, std::strerror(e));
    return;
  }
  if (n > MaxPacketSize) return;  // larger than the service takes: dropped
  if (OnDataIn)
    OnDataIn(this, std::string(buf, static_cast<size_t>(n)), Dotted(from.sin_addr),
             ntohs(from.sin_port));
}

}  // namespace zb::bacnet
