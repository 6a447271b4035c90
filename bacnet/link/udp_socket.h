// A non-blocking UDP socket on the message loop, in the manner of an asynchronous socket
// component: bind by setting Active, send datagrams to RemoteHost:RemotePort, receive through
// OnDataIn. LocalHost and LocalPort cannot change while active.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/message_loop.h"

namespace zb::bacnet {

// Every failing operation raises this, with the system's error number as Code.
class TSocketError : public std::runtime_error {
 public:
  TSocketError(int code, const std::string& message) : std::runtime_error(message), Code(code) {}
  int Code;
};

class TUDPSocket {
 public:
  using DataInHandler =
      std::function<void(void* sender, const std::string& data, const std::string& host, int port)>;
  using ReadyHandler = std::function<void(void* sender)>;
  using ErrorHandler = std::function<void(void* sender, int code, const std::string& text)>;

  static constexpr int MaxPacketSize = 2048;
  static constexpr int InBufferSize = 2048;
  static constexpr int OutBufferSize = 2048;

  explicit TUDPSocket(platform::MessageLoop& loop);
  ~TUDPSocket();
  TUDPSocket(const TUDPSocket&) = delete;
  TUDPSocket& operator=(const TUDPSocket&) = delete;

  // Dotted IPv4 address to bind; empty binds every local address.
  const std::string& LocalHost() const { return local_host_; }
  void SetLocalHost(const std::string& host);  // raises while active
  uint16_t LocalPort() const { return local_port_; }
  void SetLocalPort(uint16_t port);  // raises while active

  std::string RemoteHost;
  uint16_t RemotePort = 0;

  bool Active() const { return fd_ >= 0; }
  // Binds (true) or releases (false) the socket; binding raises on failure and leaves the
  // socket inactive.
  void SetActive(bool active);

  // One datagram to RemoteHost:RemotePort (255.255.255.255 goes out as a broadcast). A socket
  // that cannot take it now raises with Code EWOULDBLOCK and fires OnReadyToSend once it can.
  void Send(const std::string& data);

  DataInHandler OnDataIn;
  ReadyHandler OnReadyToSend;
  ErrorHandler OnError;

  // The descriptor bound to LocalHost:LocalPort (-1 while inactive); for tests.
  int Descriptor() const { return fd_; }

 private:
  void OnReadable(int fd);
  void OnWritable();
  void Close();
  void OpenBroadcastReceivers(uint32_t local_addr);

  platform::MessageLoop& loop_;
  std::string local_host_;
  uint16_t local_port_ = 47808;
  int fd_ = -1;
  int watch_ = 0;
  // Receive-only sockets for broadcasts when bound to one address (the system hands
  // broadcasts only to sockets bound to the wildcard or to the broadcast address itself).
  struct Extra {
    int fd;
    int watch;
  };
  std::vector<Extra> extras_;
  bool want_write_ = false;
  // Posted notifications check this so that none runs after the socket is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace zb::bacnet
