// A plain UDP socket for tests to play a foreign BACnet/IP node with raw datagrams, and a
// helper that runs the message loop until a condition holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/message_loop.h"

namespace zb::test {

class UdpProbe {
 public:
  // Binds to host:port in the calling thread's namespace (use TestNetwork::In); SO_BROADCAST
  // on, and SO_REUSEADDR when `shared`. ok() tells whether it worked.
  UdpProbe(const std::string& host, int port, bool shared = false);
  ~UdpProbe();
  UdpProbe(const UdpProbe&) = delete;
  UdpProbe& operator=(const UdpProbe&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  bool SendTo(const std::string& host, int port, const std::string& data);
  // Waits up to timeout_ms (real time) for one datagram.
  bool Receive(std::string& data, int timeout_ms, std::string* from_host = nullptr,
               int* from_port = nullptr);

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Dispatches the loop's events until done() holds or timeout_ms of real time have passed.
bool RunLoopUntil(const std::function<bool()>& done, int timeout_ms, platform::MessageLoop& loop);

// Dispatches the loop's events for ms of real time (to show that nothing arrives).
void RunLoopFor(int ms, platform::MessageLoop& loop);

std::string Hex(const std::string& octets);  // "81 0a 00 0e"

}  // namespace zb::test
