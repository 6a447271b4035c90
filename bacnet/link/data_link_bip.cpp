#include "bacnet/link/data_link_bip.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zb::bacnet {

namespace {

// Made for every datagram sent, traced or not (the session decides what it keeps): no printf,
// one buffer for the caption and the octets.
std::string HexDump(std::string_view caption, std::string_view octets) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(caption.size() + octets.size() * 4, '\0');
  char* o = out.data();
  for (char c : caption) *o++ = c;
  for (unsigned char c : octets) {
    *o++ = '[';
    *o++ = kDigits[c >> 4];
    *o++ = kDigits[c & 0x0F];
    *o++ = ']';
  }
  return out;
}

// A dotted part that is not a plain number counts as 0.
int DottedPart(std::string_view part) {
  size_t b = part.find_first_not_of(' ');
  size_t e = part.find_last_not_of(' ');
  if (b == std::string_view::npos) return 0;
  part = part.substr(b, e - b + 1);
  bool negative = false;
  if (part[0] == '-' || part[0] == '+') {
    negative = part[0] == '-';
    part.remove_prefix(1);
  }
  if (part.empty() || part.size() > 9) return 0;
  int v = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return negative ? -v : v;
}

// Every datagram sent names its peer this way: built in place, short enough to need no heap.
std::string DottedOf(const unsigned char* o) {
  char buf[16];
  char* p = buf;
  for (int i = 0; i < 4; ++i) {
    if (i) *p++ = '.';
    const unsigned v = o[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  }
  return std::string(buf, static_cast<size_t>(p - buf));
}

uint32_t IPv4Of(const std::string& dotted) {
  in_addr addr{};
  if (inet_pton(AF_INET, dotted.c_str(), &addr) != 1) return 0;
  return ntohl(addr.s_addr);
}

// The first IPv4 address `host` (a name or a dotted address) resolves to; empty when none.
std::string ResolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return {};
  std::string result;
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    auto* sa = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    result = DottedOf(reinterpret_cast<const unsigned char*>(&sa->sin_addr));
    break;
  }
  freeaddrinfo(list);
  return result;
}

std::string SixOctets(const std::string& dotted, int port) {
  std::string a(6, '\0');
  const uint32_t ip = IPv4Of(dotted);
  for (int i = 0; i < 4; ++i) a[i] = static_cast<char>((ip >> (24 - 8 * i)) & 0xFF);
  a[4] = static_cast<char>((port >> 8) & 0xFF);
  a[5] = static_cast<char>(port & 0xFF);
  return a;
}

// The name of the interface that carries the IPv4 default route; empty when none does.
std::string DefaultRouteInterface() {
  // The thread's own view: tests move single threads into other network namespaces.
  FILE* f = std::fopen("/proc/thread-self/net/route", "r");
  if (!f) f = std::fopen("/proc/net/route", "r");
  if (!f) return {};
  char line[512];
  std::string result;
  while (std::fgets(line, sizeof line, f)) {
    char iface[64] = {};
    unsigned destination = 1, gateway = 0, flags = 0, mask = 1;
    if (std::sscanf(line, "%63s %x %x %x %*d %*d %*d %x", iface, &destination, &gateway, &flags,
                    &mask) != 5)
      continue;
    if (destination == 0 && mask == 0 && (flags & 1)) {
      result = iface;
      break;
    }
  }
  std::fclose(f);
  return result;
}

// The IPv4 address of the interface that carries the default route; empty (every address)
// when there is none or it is a loopback interface: a site could not reach that.
std::string DefaultRouteAddress() {
  const std::string name = DefaultRouteInterface();
  if (name.empty()) return {};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::string result;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || name != i->ifa_name) continue;
    if (i->ifa_flags & IFF_LOOPBACK) continue;
    const auto* sa = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    const auto* o = reinterpret_cast<const unsigned char*>(&sa->sin_addr);
    if (o[0] == 127) continue;
    result = DottedOf(o);
    break;
  }
  freeifaddrs(list);
  return result;
}

}  // namespace

TBACnetDataLinkBIP::TBACnetDataLinkBIP(platform::MessageLoop& loop)
    : socket_(loop), registration_(loop) {
  registration_.OnSend = [this](const std::string& bvll) { SendToBBMD(bvll); };
  registration_.OnLog = [this](const std::string& text) { Log(text); };
  registration_.OnSettled = [this] { ReleaseHeldBroadcasts(); };
  MaxAPDULength = 1024;
  WindowLimit = 0;
  socket_.SetLocalPort(47808);
  socket_.OnDataIn = [this](void*, const std::string& data, const std::string& host, int port) {
    ReceiveDatagram(data, host, port);
  };
  socket_.OnReadyToSend = [this](void*) {
    ReadyToSend = true;
    // Everything that piled up while the socket was blocked leaves now, not only the first
    // entry: otherwise the rest would wait for the next Send, however long that takes.
    do {
      SendNext();
    } while (ReadyToSend && !queue_.Empty() && socket_.Active());
  };
  socket_.OnError = [this](void*, int code, const std::string& text) {
    ReadyToSend = false;
    LastError = "BACnet/IP Error: (" + std::to_string(code) + ") " + text;
  };
}

TBACnetDataLinkBIP::~TBACnetDataLinkBIP() {
  registration_.OnSend = nullptr;
  registration_.OnLog = nullptr;
  registration_.OnSettled = nullptr;
  socket_.OnDataIn = nullptr;
  socket_.OnReadyToSend = nullptr;
  socket_.OnError = nullptr;
  socket_.SetActive(false);
}

void TBACnetDataLinkBIP::Rebind(const std::function<void()>& change) {
  try {
    const bool was_active = socket_.Active();
    socket_.SetActive(false);
    change();
    if (was_active) socket_.SetActive(true);
  } catch (...) {
    // A port already in use and the like: left inactive, so the next open reports it.
    socket_.SetActive(false);
  }
}

void TBACnetDataLinkBIP::SetUDPPort(int port) {
  udp_port_ = port;
  if (socket_.LocalPort() == port) return;
  Rebind([this, port] {
    if (port < 0 || port > 65535) throw TSocketError(EINVAL, "Invalid port");
    socket_.SetLocalPort(static_cast<uint16_t>(port));
  });
}

void TBACnetDataLinkBIP::SetLocalHost(const std::string& host) {
  if (local_host_ != host) local_host_ = host;
  if (socket_.LocalHost() == host) return;
  Rebind([this, &host] { socket_.SetLocalHost(host); });
}

void TBACnetDataLinkBIP::SetForeignDevice(const std::string& bbmd, int ttl_seconds) {
  bbmd_text_ = bbmd;
  registration_.SetTimeToLive(ttl_seconds > 0 ? ttl_seconds : kDefaultForeignDeviceTTL);
}

bool TBACnetDataLinkBIP::SetActive(bool open) {
  if (!open) {
    held_.clear();
    // Our entry would otherwise keep drawing the site's broadcasts until its time runs out.
    if (registration_.Stop() && socket_.Active())
      SendToBBMD(TForeignDeviceRegistration::DeleteMessage(OwnAddress()));
    // A closed link neither answers nor holds its port: another session may take it.
    socket_.SetActive(false);
    queue_.Clear();
    ReadyToSend = false;
    Active = false;
    return false;
  }
  try {
    if (local_host_.empty() && !socket_.Active()) socket_.SetLocalHost(DefaultRouteAddress());
    socket_.SetActive(true);
    FindBroadcastAndOwnAddresses();
  } catch (const std::exception& e) {
    Trace(std::string("Execpt: ") + e.what());
    socket_.SetActive(false);
    Active = false;
    return false;
  }
  Active = socket_.Active();
  if (Active) StartRegistration();
  return Active;
}

void TBACnetDataLinkBIP::FindBroadcastAndOwnAddresses() {
  broadcast_host_ = "255.255.255.255";
  own_hosts_.clear();
  own_subnets_.clear();
  const std::string& bound = socket_.LocalHost();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    const std::string address = DottedOf(reinterpret_cast<const unsigned char*>(&a->sin_addr));
    if (!bound.empty() && address != bound) continue;
    if (i->ifa_netmask && !(i->ifa_flags & IFF_LOOPBACK)) {
      const uint32_t mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
      own_subnets_.emplace_back(a->sin_addr.s_addr & mask, mask);
    }
    if (bound.empty()) {
      own_hosts_.push_back(address);
      continue;
    }
    if (!(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr) continue;
    const auto* b = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
    // A /32 or /31 address has no broadcast of its own.
    if (b->sin_addr.s_addr != 0 && b->sin_addr.s_addr != a->sin_addr.s_addr)
      broadcast_host_ = DottedOf(reinterpret_cast<const unsigned char*>(&b->sin_addr));
  }
  freeifaddrs(list);
}

void TBACnetDataLinkBIP::StartRegistration() {
  registration_.Stop();
  held_.clear();
  if (bbmd_text_.empty()) return;
  std::string host;
  int port = 0;
  std::string address;
  if (ParseBBMDAddress(bbmd_text_, host, port)) address = ResolveIPv4(host);
  if (address.empty()) {
    // Unicast still works; only broadcasts stay on this subnet.
    Log("BBMD " + bbmd_text_ + ": not a usable address, no foreign-device registration");
    return;
  }
  bbmd_host_ = address;
  bbmd_port_ = port;
  registration_.Peer = address + ":" + std::to_string(port);
  registration_.Start();
}

void TBACnetDataLinkBIP::SendToBBMD(const std::string& bvll) {
  TTransmitQueueEntry entry;
  entry.Destination = SixOctets(bbmd_host_, bbmd_port_);
  entry.Data = bvll;
  entry.Priority = 3;
  // A full queue loses the message as the wire would; the timer sends the next one.
  if (queue_.Add(std::move(entry))) SendNext();
}

void TBACnetDataLinkBIP::ReleaseHeldBroadcasts() {
  std::vector<HeldBroadcast> held = std::move(held_);
  held_.clear();
  for (const HeldBroadcast& h : held) {
    const bool through_bbmd = registration_.Registered();
    Queue(through_bbmd ? SixOctets(bbmd_host_, bbmd_port_) : BroadcastDestination(),
          through_bbmd ? kBVLCDistributeBroadcastToNetwork : kBVLCOriginalBroadcastNPDU,
          h.Npdu.data(), static_cast<int>(h.Npdu.size()), h.Priority);
  }
}

std::string TBACnetDataLinkBIP::BroadcastDestination() const {
  in_addr b{};
  if (inet_pton(AF_INET, broadcast_host_.c_str(), &b) != 1) b.s_addr = INADDR_BROADCAST;
  return std::string(reinterpret_cast<const char*>(&b), 4);
}

std::string TBACnetDataLinkBIP::OwnAddress() const {
  return SixOctets(socket_.LocalHost(), socket_.LocalPort());
}

bool TBACnetDataLinkBIP::Send(const TBACnetFrame& frame) {
  if (queue_.Full()) return false;
  const int length =
      frame.Length < 0 ? 0 : (frame.Length > kFrameDataSize ? kFrameDataSize : frame.Length);
  const char* npdu = reinterpret_cast<const char*>(frame.Data);
  if (frame.Broadcast && registration_.Started()) {
    if (!registration_.Settled()) {
      if (static_cast<int>(held_.size()) >= TTransmitQueue::kCapacity) return false;
      held_.push_back({std::string(npdu, length), frame.Priority});
      return true;
    }
    if (registration_.Registered())
      return Queue(SixOctets(bbmd_host_, bbmd_port_), kBVLCDistributeBroadcastToNetwork, npdu,
                   length, frame.Priority);
  }
  return Queue(frame.Broadcast ? BroadcastDestination() : frame.DestinationAddress.str(),
               frame.Broadcast ? kBVLCOriginalBroadcastNPDU : kBVLCOriginalUnicastNPDU, npdu,
               length, frame.Priority);
}

bool TBACnetDataLinkBIP::Queue(std::string destination, int function, const char* npdu, int length,
                               int priority) {
  TTransmitQueueEntry entry;
  entry.Destination = std::move(destination);
  const int total = 4 + length;
  entry.Data.reserve(total);
  entry.Data += static_cast<char>(kBVLLTypeBIP);
  entry.Data += static_cast<char>(function);
  entry.Data += static_cast<char>((total >> 8) & 0xFF);
  entry.Data += static_cast<char>(total & 0xFF);
  entry.Data.append(npdu, length);
  entry.Priority = priority;
  if (!queue_.Add(std::move(entry))) return false;
  SendNext();
  return true;
}

void TBACnetDataLinkBIP::SendNext() {
  TTransmitQueueEntry entry;
  if (!queue_.TakeNext(entry)) return;
  const std::string& dest = entry.Destination;
  if (dest.size() < 4) {
    Trace(HexDump("BadAddress: ", dest));
    return;
  }
  const auto* o = reinterpret_cast<const unsigned char*>(dest.data());
  socket_.RemoteHost = DottedOf(o);
  socket_.RemotePort =
      dest.size() >= 6 ? static_cast<uint16_t>((o[4] << 8) | o[5]) : socket_.LocalPort();
  try {
    socket_.Send(entry.Data);
  } catch (const TSocketError& e) {
    if (e.Code == EWOULDBLOCK) {
      // Not lost: it leaves first when the socket reports that it can take it.
      ReadyToSend = false;
      queue_.PutBack(std::move(entry));
      return;
    }
    // Not handed to the caller: the stack above must never see an exception. The datagram is
    // lost as it would be on the wire; the failure is kept for the session to show.
    LastError = "BACnet/IP Error: (" + std::to_string(e.Code) + ") " + e.what();
    return;
  }
  Trace(HexDump("SendPacket: ", entry.Data));
  if (OnCapture) Capture(true, entry.Data, socket_.RemoteHost, socket_.RemotePort);
}

void TBACnetDataLinkBIP::Capture(bool outgoing, const std::string& octets, const std::string& host,
                                 int port) {
  TCapturedPacket p;
  p.Outgoing = outgoing;
  p.Octets = octets;
  p.LocalIP = IPv4Of(socket_.LocalHost());
  p.LocalPort = socket_.LocalPort();
  p.RemoteIP = IPv4Of(host);
  p.RemotePort = static_cast<uint16_t>(port);
  p.TimeUs = CaptureTimeNow();
  OnCapture(p);
}

void TBACnetDataLinkBIP::GetParameter(int kind, Variant& value) {
  if (kind != kParamLocalAddress) return;
  std::string address;
  std::string_view host = socket_.LocalHost();
  for (int i = 0; i < 4; ++i) {
    size_t dot = host.find('.');
    std::string_view part = host.substr(0, dot);
    address += static_cast<char>(DottedPart(part) & 0xFF);
    host = dot == std::string_view::npos ? std::string_view() : host.substr(dot + 1);
  }
  address += static_cast<char>(socket_.LocalPort() >> 8);
  address += static_cast<char>(socket_.LocalPort() & 0xFF);
  LocalAddress = address;
  value = Variant(address);
}

bool TBACnetDataLinkBIP::OnOwnSubnet(uint32_t address_be) const {
  for (const auto& [network, mask] : own_subnets_)
    if ((address_be & mask) == network) return true;
  return false;
}

bool TBACnetDataLinkBIP::IsOwnEcho(const std::string& host, int port) const {
  // Another program on this machine (another port) is a peer like any other.
  if (port != socket_.LocalPort()) return false;
  if (strcasecmp(host.c_str(), socket_.LocalHost().c_str()) == 0) return true;
  for (const auto& own : own_hosts_)
    if (own == host) return true;
  return false;
}

void TBACnetDataLinkBIP::SendResultNAK(int function, const std::string& host, int port) {
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return;
  // The NAK codes of the standard follow the function numbers: 0x0010 for Write-BDT, 0x0020
  // Read-BDT, 0x0030 Register-FD, 0x0040 Read-FDT, 0x0050 Delete-FDT-Entry, 0x0060
  // Distribute-Broadcast-To-Network.
  int code = 0;
  switch (function) {
    case kBVLCWriteBDT:
      code = 0x10;
      break;
    case kBVLCReadBDT:
      code = 0x20;
      break;
    case kBVLCRegisterForeignDevice:
      code = 0x30;
      break;
    case kBVLCReadFDT:
      code = 0x40;
      break;
    case kBVLCDeleteFDTEntry:
      code = 0x50;
      break;
    case kBVLCDistributeBroadcastToNetwork:
      code = 0x60;
      break;
    default:
      return;
  }
  if (queue_.Full()) return;
  TTransmitQueueEntry entry;
  entry.Destination.assign(reinterpret_cast<const char*>(&addr), 4);
  entry.Destination += static_cast<char>((port >> 8) & 0xFF);
  entry.Destination += static_cast<char>(port & 0xFF);
  entry.Data = std::string("\x81\x00\x00\x06\x00", 5) + static_cast<char>(code);
  queue_.Add(std::move(entry));
  SendNext();
}

void TBACnetDataLinkBIP::ReceiveDatagram(const std::string& data, const std::string& host,
                                         int port) {
  if (IsOwnEcho(host, port)) return;
  // Traced only while captured: a flood must not cost a hex dump per datagram otherwise.
  if (OnCapture) {
    Trace(HexDump("ReceivePacket: ", std::string_view(data).substr(0, 1500)));
    Capture(false, data, host, port);
  }
  const int size = static_cast<int>(data.size());
  const auto* d = reinterpret_cast<const unsigned char*>(data.data());
  // Our BBMD's answers count even while nobody above listens (after a disconnect).
  if (size >= 6 && d[0] == kBVLLTypeBIP && d[1] == kBVLCResult && ((d[2] << 8) | d[3]) >= 6 &&
      registration_.Started() && port == bbmd_port_ && host == bbmd_host_) {
    registration_.HandleResult((d[4] << 8) | d[5]);
    return;
  }
  if (!OnReceive) return;
  if (size <= 3) return;
  if (d[0] != kBVLLTypeBIP) return;
  // The announced length must cover the header and lie within the datagram.
  const int bvll_length = (d[2] << 8) | d[3];
  if (bvll_length > size || bvll_length < 4) return;

  TBACnetFrame frame;
  int start;
  switch (d[1]) {
    case kBVLCOriginalUnicastNPDU:
      start = 4;
      break;
    case kBVLCOriginalBroadcastNPDU:
      start = 4;
      frame.Broadcast = true;
      break;
    case kBVLCForwardedNPDU: {
      if (size <= 10) return;
      start = 10;
      const uint32_t ip =
          (uint32_t(d[4]) << 24) | (uint32_t(d[5]) << 16) | (uint32_t(d[6]) << 8) | d[7];
      frame.ForwardedFrom = std::to_string(ip) + ":" + std::to_string((d[8] << 8) | d[9]);
      frame.Forwarded = true;
      break;
    }
    case kBVLCWriteBDT:
    case kBVLCReadBDT:
    case kBVLCRegisterForeignDevice:
    case kBVLCReadFDT:
    case kBVLCDeleteFDTEntry:
    case kBVLCDistributeBroadcastToNetwork:
      SendResultNAK(d[1], host, port);
      return;
    default:
      return;
  }
  if (bvll_length < start) return;
  const int length = bvll_length - start;
  if (length > kFrameDataSize) return;
  frame.Length = length;
  std::memcpy(frame.Data, d + start, length);

  std::string source(6, '\0');
  bool from_originator = false;
  if (frame.Forwarded) {
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", d[4], d[5], d[6], d[7]);
    if (IsOwnEcho(dotted, (d[8] << 8) | d[9])) return;
    uint32_t originator = 0;
    std::memcpy(&originator, d + 4, 4);
    // A BBMD forwards only what comes from other subnets; an "originator" on our own subnet is
    // made up, and answering it would park datagrams in the system's address resolution,
    // blocking the socket for everyone: the node that sent the datagram is answered then.
    from_originator = !OnOwnSubnet(originator);
  }
  if (from_originator) {
    // The originator is the sender: answers go to it, not to the BBMD that forwarded it.
    std::memcpy(source.data(), d + 4, 6);
  } else {
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) == 1) std::memcpy(source.data(), &addr, 4);
    source[4] = static_cast<char>((port >> 8) & 0xFF);
    source[5] = static_cast<char>(port & 0xFF);
  }
  frame.SourceAddress = source;
  frame.DestinationAddress = LocalAddress;
  Deliver(frame);
}

}  // namespace zb::bacnet
