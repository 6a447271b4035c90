#include "bacnet/net/network.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace zb::bacnet {

namespace {

constexpr uint8_t kNPDUVersion = 1;
constexpr uint8_t kControlNetworkMessage = 0x80;
constexpr uint8_t kControlDestination = 0x20;
constexpr uint8_t kControlSource = 0x08;
constexpr uint8_t kControlExpectingReply = 0x04;
constexpr uint8_t kControlPriority = 0x03;
constexpr uint8_t kMessageWhoIsRouterToNetwork = 0x00;
constexpr uint8_t kMessageIAmRouterToNetwork = 0x01;
constexpr uint8_t kHopCount = 255;

bool IsLocalText(std::string_view address) {
  constexpr std::string_view local = "<Local>";
  if (address.size() != local.size()) return false;
  for (size_t i = 0; i < local.size(); ++i) {
    char a = address[i], b = local[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

std::string UpperHex(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X", value);
  return buf;
}

// Appends octets to a frame under construction; refuses to run past the frame.
struct FrameWriter {
  TBACnetFrame& frame;
  int pos = 0;
  bool ok = true;
  void Octet(uint32_t v) {
    if (pos >= kFrameDataSize) {
      ok = false;
      return;
    }
    frame.Data[pos++] = static_cast<uint8_t>(v);
  }
  void Word(uint32_t v) {
    Octet(v >> 8);
    Octet(v);
  }
  void Octets(const void* data, int n) {
    if (n <= 0) return;
    if (n > kFrameDataSize - pos) {
      ok = false;
      return;
    }
    std::memcpy(frame.Data + pos, data, n);
    pos += n;
  }
};

}  // namespace

void TBACnetNetwork::Trace(const std::string& text) {
  if (OnTrace) OnTrace(this, text, 1);
}

bool TBACnetNetwork::Open(bool open) {
  if (!DataLink) return false;
  DataLink->OnReceive = [this](void*, const TBACnetFrame& frame) { ReceiveFrame(frame); };
  bool result = DataLink->SetActive(open);
  routers_.clear();
  return result;
}

platform::Task<bool> TBACnetNetwork::OpenAsync(bool open) {
  if (!DataLink) co_return false;
  DataLink->OnReceive = [this](void*, const TBACnetFrame& frame) { ReceiveFrame(frame); };
  bool result = co_await DataLink->Activate(open);
  routers_.clear();
  co_return result;
}

bool TBACnetNetwork::SendNPDU(const TBACnetNPDU& npdu) {
  if (!DataLink) return true;
  TBACnetFrame frame;
  CopyAddressInfo(npdu, frame);
  const int length = std::clamp(npdu.Length, 0, kNPDUDataSize);
  FrameWriter out{frame};
  out.Octet(kNPDUVersion);
  // Priority is two bits; anything above must not spill into the other control bits.
  uint8_t control = static_cast<uint8_t>(npdu.Priority & kControlPriority);
  if (npdu.ExpectingReply) control |= kControlExpectingReply;

  if (npdu.NetworkMessage) {
    // The application layer puts its two-octet unconfirmed header in front of every payload;
    // a network-layer message carries only what follows it.
    out.Octet(control | kControlNetworkMessage);
    out.Octet(npdu.NetworkMessageType);
    if (length > 2) out.Octets(npdu.Data + 2, length - 2);
    frame.Length = out.pos;
    DataLink->Send(frame);
    return true;
  }

  int header_control_pos = 1;
  out.Octet(control);
  bool has_destination = false;
  if (npdu.Broadcast || npdu.DestinationNetwork == 65535) {
    has_destination = true;
    control |= kControlDestination;
    out.Word(0xFFFF);
    out.Octet(0);
  } else if (npdu.DestinationNetwork != 0) {
    std::string router;
    if (!npdu.RouterAddress.empty()) {
      router = npdu.RouterAddress.str();
    } else if (!FindRouter(static_cast<uint32_t>(npdu.DestinationNetwork), router)) {
      return true;  // no way there; the transaction's timers will end it
    }
    has_destination = true;
    control |= kControlDestination;
    out.Word(static_cast<uint32_t>(npdu.DestinationNetwork) & 0xFFFF);
    out.Octet(static_cast<uint32_t>(npdu.DestinationAddress.size()));
    out.Octets(npdu.DestinationAddress.data(), npdu.DestinationAddress.size());
    frame.DestinationAddress = router;
  }
  // Over a point-to-point link everything routed carries our network and address; elsewhere
  // what comes from the virtual network does, so that the asker can match the answer.
  const bool routed_ptp = has_destination && npdu.DestinationNetwork != 65535 && !npdu.Broadcast &&
                          DataLink->IsPointToPoint();
  const bool from_virtual =
      NetworkNumber != 0 && static_cast<uint32_t>(npdu.SourceNetwork) == NetworkNumber;
  if (routed_ptp || from_virtual) {
    control |= kControlSource;
    out.Word(NetworkNumber & 0xFFFF);
    out.Octet(2);
    out.Word(static_cast<uint32_t>(SourceAddressValue) & 0xFFFF);
  }
  if (has_destination) out.Octet(kHopCount);
  frame.Data[header_control_pos] = control;
  out.Octets(npdu.Data, length);
  if (!out.ok) return true;  // header and APDU together do not fit a frame
  frame.Length = out.pos;
  DataLink->Send(frame);
  return true;
}

void TBACnetNetwork::ReceiveFrame(const TBACnetFrame& frame) {
  const int length = std::clamp(frame.Length, 0, kFrameDataSize);
  const uint8_t* d = frame.Data;
  if (length < 2 || d[0] != kNPDUVersion) return;
  const uint8_t control = d[1];

  // On the stack: a handler that processes messages may receive again before it returns.
  TBACnetNPDU npdu;
  CopyAddressInfo(frame, npdu);
  npdu.SourceNetwork = 0;
  npdu.DestinationNetwork = 0;

  // Every header field is checked against the frame before it is read.
  int pos = 2;
  const bool has_destination = control & kControlDestination;
  if (has_destination) {
    if (pos + 3 > length) return;
    npdu.DestinationNetwork = (d[pos] << 8) | d[pos + 1];
    const int dlen = d[pos + 2];
    pos += 3;
    if (pos + dlen > length) return;
    npdu.RemoteDestinationAddress.Assign(
        std::string_view(reinterpret_cast<const char*>(d + pos), dlen));
    pos += dlen;
    if (npdu.DestinationNetwork == 65535) {
      npdu.Broadcast = true;
    } else if (NetworkNumber == 0 ||
               static_cast<uint32_t>(npdu.DestinationNetwork) != (NetworkNumber & 0xFFFF)) {
      return;  // for a network we do not route to: not ours to answer
    } else if (dlen == 0) {
      npdu.Broadcast = true;  // everyone on the virtual network, which is us
    } else if (!IsOwnVirtualAddress(d + pos - dlen, dlen)) {
      return;
    }
  }
  if (control & kControlSource) {
    if (pos + 3 > length) return;
    npdu.SourceNetworkPresent = true;
    npdu.SourceNetwork = (d[pos] << 8) | d[pos + 1];
    const int slen = d[pos + 2];
    pos += 3;
    if (pos + slen > length) return;
    AddRouter(static_cast<uint32_t>(npdu.SourceNetwork), frame.SourceAddress.view());
    if (slen == 0) return;
    npdu.SourceAddress.Assign(std::string_view(reinterpret_cast<const char*>(d + pos), slen));
    pos += slen;
  }
  if (has_destination) {
    if (pos + 1 > length) return;
    ++pos;  // hop count
  }

  if (control & kControlNetworkMessage) {
    if (pos < length && d[pos] == kMessageWhoIsRouterToNetwork) {
      AnswerWhoIsRouter(d + pos + 1, length - pos - 1);
      return;
    }
    // Only an I-Am-Router-To-Network announces routers: a Who-Is-Router-To-Network asking for
    // a network says nothing about who reaches it.
    if (pos >= length || d[pos] != kMessageIAmRouterToNetwork) return;
    for (int i = pos + 1; i + 1 < length; i += 2)
      AddRouter(static_cast<uint32_t>((d[i] << 8) | d[i + 1]), frame.SourceAddress.view());
    return;
  }

  npdu.ExpectingReply = control & kControlExpectingReply;
  npdu.Priority = control & kControlPriority;
  npdu.Length = length - pos;
  if (npdu.Length > kNPDUDataSize) return;
  std::memcpy(npdu.Data, d + pos, npdu.Length);
  if (OnReceive) OnReceive(this, npdu);
}

bool TBACnetNetwork::IsOwnVirtualAddress(const uint8_t* address, int length) const {
  const uint32_t own = static_cast<uint32_t>(SourceAddressValue) & 0xFFFF;
  return length == 2 && ((uint32_t(address[0]) << 8) | address[1]) == own;
}

void TBACnetNetwork::AnswerWhoIsRouter(const uint8_t* data, int length) {
  // Asked for any network or for the virtual one: that is the network we stand for.
  const uint32_t virtual_network = NetworkNumber & 0xFFFF;
  if (virtual_network == 0 || !DataLink) return;
  if (length >= 2 && ((uint32_t(data[0]) << 8) | data[1]) != virtual_network) return;
  TBACnetFrame frame;
  frame.Broadcast = true;
  FrameWriter out{frame};
  out.Octet(kNPDUVersion);
  out.Octet(kControlNetworkMessage);
  out.Octet(kMessageIAmRouterToNetwork);
  out.Word(virtual_network);
  frame.Length = out.pos;
  DataLink->Send(frame);
  Trace("IAmRouter [" + UpperHex(virtual_network) + "]");
}

int TBACnetNetwork::MaxAPDULength() { return DataLink ? DataLink->MaxAPDULength : 0; }

int TBACnetNetwork::MaxAPDUCode() { return DataLink ? DataLink->MaxAPDUCode() : 0; }

int TBACnetNetwork::WindowLimit() { return DataLink ? DataLink->WindowLimit : 0; }

void TBACnetNetwork::SetParameter(int kind, const Variant& value) {
  try {
    if (kind == kParamNetworkNumber) {
      NetworkNumber = static_cast<uint32_t>(value.ToInt());
    } else if (kind == kParamSourceAddress) {
      SourceAddressValue = value.ToInt();
    } else if (DataLink) {
      DataLink->SetParameter(kind, value);
    }
  } catch (...) {
  }
}

void TBACnetNetwork::GetParameter(int kind, Variant& value) {
  if (!DataLink) return;
  try {
    DataLink->GetParameter(kind, value);
  } catch (...) {
  }
}

void TBACnetNetwork::AddRouter(uint32_t network, std::string_view address) {
  std::string known;
  if (FindRouter(network, known)) return;
  routers_.push_back({std::string(address), network});
  std::string line = "Found Router to Network [" + UpperHex(network) + "] at ";
  if (address.empty() || IsLocalText(address)) {
    line += "<Local>";
  } else {
    for (unsigned char c : address) line += "[" + UpperHex(c) + "]";
  }
  Trace(line);
}

bool TBACnetNetwork::FindRouter(uint32_t network, std::string& address) const {
  for (const auto& entry : routers_) {
    if (entry.Network != network) continue;
    address = IsLocalText(entry.RouterAddress) ? std::string() : entry.RouterAddress;
    return true;
  }
  return false;
}

}  // namespace zb::bacnet
