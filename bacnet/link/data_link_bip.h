// The BACnet/IP data link (BACnet Virtual Link Layer over UDP): Original-Unicast-NPDU and
// Original-Broadcast-NPDU out; those and Forwarded-NPDU in. Not a BBMD: the BBMD functions are
// answered with a BVLC-Result NAK. Given a BBMD it registers as a foreign device and
// broadcasts through it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bacnet/link/data_link.h"
#include "bacnet/link/foreign_device.h"
#include "bacnet/link/transmit_queue.h"
#include "bacnet/link/udp_socket.h"

namespace zb::bacnet {

constexpr int kBVLLTypeBIP = 0x81;
constexpr int kBVLCResult = 0x00;
constexpr int kBVLCForwardedNPDU = 0x04;
constexpr int kBVLCOriginalUnicastNPDU = 0x0A;
constexpr int kBVLCOriginalBroadcastNPDU = 0x0B;
constexpr int kBVLCWriteBDT = 0x01;
constexpr int kBVLCReadBDT = 0x02;
constexpr int kBVLCReadFDT = 0x06;
constexpr int kBVLCDeleteFDTEntry = 0x08;

class TBACnetDataLinkBIP : public TBACnetDataLink {
 public:
  explicit TBACnetDataLinkBIP(platform::MessageLoop& loop);
  ~TBACnetDataLinkBIP() override;

  int UDPPort() const { return udp_port_; }
  // Re-binds the socket when the port changes; a failure leaves it inactive, silently.
  void SetUDPPort(int port);
  const std::string& LocalHost() const { return local_host_; }
  // Dotted IPv4 address to bind to; empty: the address of the interface that carries the
  // default route, or every address when there is none (never a loopback address).
  void SetLocalHost(const std::string& host);
  // Where broadcasts go: the directed broadcast of the bound interface, 255.255.255.255 when
  // bound to every address. Set on open.
  const std::string& BroadcastHost() const { return broadcast_host_; }

  // BBMD to register with as a foreign device ("host", "host:port"; empty: none) and the
  // time-to-live asked for (seconds). Takes effect on the next open.
  void SetForeignDevice(const std::string& bbmd, int ttl_seconds);
  const std::string& BBMD() const { return bbmd_text_; }
  TForeignDeviceRegistration& Registration() { return registration_; }

  bool SetActive(bool open) override;
  int MaxAPDUCode() override { return 4; }
  bool Send(const TBACnetFrame& frame) override;
  // Kind 3: the socket's address as 4 IPv4 octets and 2 port octets, also kept in LocalAddress.
  void GetParameter(int kind, Variant& value) override;

  // The datagram receipt, callable without a socket (tests, fuzzing).
  void ReceiveDatagram(const std::string& data, const std::string& host, int port);

  TUDPSocket& Socket() { return socket_; }
  TTransmitQueue& TransmitQueue() { return queue_; }

 private:
  struct HeldBroadcast {
    std::string Npdu;
    int32_t Priority;
  };

  void SendNext();
  void Rebind(const std::function<void()>& change);
  void FindBroadcastAndOwnAddresses();
  bool IsOwnEcho(const std::string& host, int port) const;
  bool OnOwnSubnet(uint32_t address_be) const;
  void SendResultNAK(int function, const std::string& host, int port);
  bool Queue(std::string destination, int function, const char* npdu, int length, int priority);
  void StartRegistration();
  void SendToBBMD(const std::string& bvll);
  void ReleaseHeldBroadcasts();
  std::string OwnAddress() const;
  std::string BroadcastDestination() const;
  void Capture(bool outgoing, const std::string& octets, const std::string& host, int port);

  TUDPSocket socket_;
  TTransmitQueue queue_;
  std::string bbmd_text_;
  std::string bbmd_host_;  // dotted, resolved on open
  int bbmd_port_ = 0;
  TForeignDeviceRegistration registration_;
  // Broadcasts that wait for the first registration answer (so that they reach the BBMD's
  // networks rather than being refused); bounded like the transmit queue.
  std::vector<HeldBroadcast> held_;
  int udp_port_ = 47808;
  std::string local_host_;
  std::string broadcast_host_ = "255.255.255.255";
  // Every address of this machine while bound to the wildcard address: our own broadcasts
  // come back from one of them.
  std::vector<std::string> own_hosts_;
  // The subnets of the bound interface (of every interface when bound to every address), as
  // network and mask in network byte order.
  std::vector<std::pair<uint32_t, uint32_t>> own_subnets_;
};

}  // namespace zb::bacnet
