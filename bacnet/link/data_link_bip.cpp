#include "bacnet/link/data_link_bip.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zb::bacnet {

namespace {

const std::string kBroadcastDestination("\xFF\xFF\xFF\xFF", 4);

std::string HexDump(std::string_view octets) {
  std::string out;
  out.reserve(octets.size() * 4);
  char buf[8];
  for (unsigned char c : octets) {
    std::snprintf(buf, sizeof buf, "[%02x]", c);
    out += buf;
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

std::string DottedOf(const unsigned char* o) {
  return std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
         std::to_string(o[3]);
}

// The first IPv4 address the computer's own host name resolves to; empty when none.
std::string OwnHostAddress() {
  char name[1024] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0 || !list) return {};
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

}  // namespace

TBACnetDataLinkBIP::TBACnetDataLinkBIP(platform::MessageLoop& loop) : socket_(loop) {
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

bool TBACnetDataLinkBIP::SetActive(bool open) {
  if (!open) {
    // The socket stays bound; what arrives is still handed up.
    Active = false;
    return false;
  }
  try {
    if (local_host_.empty()) {
      std::string own = OwnHostAddress();
      if (!own.empty()) socket_.SetLocalHost(own);
    }
    socket_.SetActive(true);
  } catch (const std::exception& e) {
    Trace(std::string("Execpt: ") + e.what());
    socket_.SetActive(false);
    Active = false;
    return false;
  }
  Active = socket_.Active();
  return Active;
}

bool TBACnetDataLinkBIP::Send(const TBACnetFrame& frame) {
  if (queue_.Full()) return false;
  const int length =
      frame.Length < 0 ? 0 : (frame.Length > kFrameDataSize ? kFrameDataSize : frame.Length);
  TTransmitQueueEntry entry;
  entry.Destination = frame.Broadcast ? kBroadcastDestination : frame.DestinationAddress.str();
  const int total = 4 + length;
  entry.Data.reserve(total);
  entry.Data += static_cast<char>(kBVLLTypeBIP);
  entry.Data +=
      static_cast<char>(frame.Broadcast ? kBVLCOriginalBroadcastNPDU : kBVLCOriginalUnicastNPDU);
  entry.Data += static_cast<char>((total >> 8) & 0xFF);
  entry.Data += static_cast<char>(total & 0xFF);
  entry.Data.append(reinterpret_cast<const char*>(frame.Data), length);
  entry.Priority = frame.Priority;
  queue_.Add(std::move(entry));
  SendNext();
  return true;
}

void TBACnetDataLinkBIP::SendNext() {
  TTransmitQueueEntry entry;
  if (!queue_.TakeNext(entry)) return;
  const std::string& dest = entry.Destination;
  if (dest.size() < 4) {
    Trace("BadAddress: " + HexDump(dest));
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
  Trace("SendPacket: " + HexDump(entry.Data));
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

void TBACnetDataLinkBIP::ReceiveDatagram(const std::string& data, const std::string& host,
                                         int port) {
  if (!OnReceive) return;
  if (strcasecmp(host.c_str(), socket_.LocalHost().c_str()) == 0) return;
  const int size = static_cast<int>(data.size());
  if (size <= 3) return;
  const auto* d = reinterpret_cast<const unsigned char*>(data.data());
  if (d[0] != kBVLLTypeBIP) return;
  // The announced length must cover the header and lie within the datagram.
  const int bvll_length = (d[2] << 8) | d[3];
  if (bvll_length > size) return;

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
    default:
      return;
  }
  if (bvll_length < start) return;
  const int length = bvll_length - start;
  if (length > kFrameDataSize) return;
  frame.Length = length;
  std::memcpy(frame.Data, d + start, length);

  in_addr addr{};
  std::string source(6, '\0');
  if (inet_pton(AF_INET, host.c_str(), &addr) == 1) std::memcpy(source.data(), &addr, 4);
  source[4] = static_cast<char>((port >> 8) & 0xFF);
  source[5] = static_cast<char>(port & 0xFF);
  frame.SourceAddress = source;
  frame.DestinationAddress = LocalAddress;
  Deliver(frame);
}

}  // namespace zb::bacnet
