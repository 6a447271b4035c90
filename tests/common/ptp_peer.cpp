#include "tests/common/ptp_peer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace zb::test {

// Header CRC: CRC-8 with generator X^8 + X^7 + 1, octets shifted in least significant bit
// first, register preset to all ones, ones' complement sent.
uint8_t RefHeaderCRC(uint8_t type, uint16_t length) {
  const uint8_t octets[3] = {type, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  uint8_t reg = 0xFF;
  for (uint8_t o : octets) {
    reg ^= o;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0x81 : reg >> 1;
  }
  return static_cast<uint8_t>(~reg);
}

// Data CRC: CRC-CCITT, generator X^16 + X^12 + X^5 + 1, bit-reversed (0x8408), preset to all
// ones, ones' complement sent.
uint16_t RefDataCRC(std::string_view data) {
  uint16_t reg = 0xFFFF;
  for (unsigned char o : data) {
    reg ^= o;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
  }
  return static_cast<uint16_t>(~reg);
}

std::string RefLogicalFrame(uint8_t type, std::string_view data) {
  std::string f = "\x55\xFF";
  uint16_t len = static_cast<uint16_t>(data.size());
  f += static_cast<char>(type);
  f += static_cast<char>(len >> 8);
  f += static_cast<char>(len & 0xFF);
  f += static_cast<char>(RefHeaderCRC(type, len));
  if (!data.empty()) {
    f += data;
    uint16_t crc = RefDataCRC(data);
    f += static_cast<char>(crc & 0xFF);
    f += static_cast<char>(crc >> 8);
  }
  return f;
}

std::string RefEscape(std::string_view logical) {
  std::string out(logical.substr(0, 2));
  for (size_t i = 2; i < logical.size(); ++i) {
    unsigned char c = logical[i];
    if (c == 0x10 || c == 0x11 || c == 0x13) {
      out += '\x10';
      out += static_cast<char>(c | 0x80);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string RefWireFrame(uint8_t type, std::string_view data) {
  return RefEscape(RefLogicalFrame(type, data));
}

void RefFrameParser::Feed(std::string_view octets) {
  for (char c : octets)
    if (c != '\x11' && c != '\x13') buf_ += c;
  Scan();
}

std::vector<RefFrame> RefFrameParser::TakeFrames() { return std::exchange(frames_, {}); }
std::string RefFrameParser::TakeText() { return std::exchange(text_, {}); }

void RefFrameParser::Scan() {
  for (;;) {
    size_t pos = buf_.find("\x55\xFF");
    if (pos == std::string::npos) {
      // A lone 0x55 at the end may still become a preamble.
      size_t keep = (!buf_.empty() && buf_.back() == '\x55') ? 1 : 0;
      text_ += buf_.substr(0, buf_.size() - keep);
      buf_.erase(0, buf_.size() - keep);
      return;
    }
    text_ += buf_.substr(0, pos);
    buf_.erase(0, pos);
    // Unescape after the preamble as far as the buffer goes; remember where each logical
    // octet ended in the raw buffer.
    std::string logical;
    std::vector<size_t> end;
    for (size_t i = 2; i < buf_.size(); ++i) {
      unsigned char c = buf_[i];
      if (c == 0x10) {
        if (i + 1 >= buf_.size()) break;
        c = static_cast<unsigned char>(buf_[++i]) & 0x7F;
      }
      logical += static_cast<char>(c);
      end.push_back(i + 1);
    }
    if (logical.size() < 4) return;  // header incomplete
    uint8_t type = logical[0];
    uint16_t len = static_cast<uint16_t>((static_cast<uint8_t>(logical[1]) << 8) |
                                         static_cast<uint8_t>(logical[2]));
    if (RefHeaderCRC(type, len) != static_cast<uint8_t>(logical[3])) {
      buf_.erase(0, 1);  // not a frame: hunt on from the next octet
      continue;
    }
    if (len > 501) {
      frames_.push_back(RefFrame{type, "", false});
      buf_.erase(0, end[3]);
      continue;
    }
    if (len == 0) {
      frames_.push_back(RefFrame{type, "", true});
      buf_.erase(0, end[3]);
      continue;
    }
    if (logical.size() < 4u + len + 2u) return;  // data incomplete
    std::string data = logical.substr(4, len);
    uint16_t crc = static_cast<uint16_t>(static_cast<uint8_t>(logical[4 + len]) |
                                         (static_cast<uint8_t>(logical[5 + len]) << 8));
    frames_.push_back(RefFrame{type, data, RefDataCRC(data) == crc});
    buf_.erase(0, end[5 + len]);
  }
}

PTPPeer::PTPPeer(platform::MessageLoop& loop, int fd) : loop_(&loop), fd_(fd) {
  watch_ = loop.Watch(fd, POLLIN, [this](int, short) {
    char buf[1024];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      Receive(std::string_view(buf, static_cast<size_t>(n)));
    }
  });
}

PTPPeer::PTPPeer(std::function<void(const std::string&)> write) : write_(std::move(write)) {}

PTPPeer::~PTPPeer() {
  if (loop_ && watch_) loop_->Unwatch(watch_);
}

void PTPPeer::SendRaw(const std::string& octets) {
  if (write_) {
    write_(octets);
    return;
  }
  size_t done = 0;
  while (done < octets.size()) {
    ssize_t n = ::write(fd_, octets.data() + done, octets.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

void PTPPeer::SendFrame(uint8_t type, std::string_view data) { SendRaw(RefWireFrame(type, data)); }

void PTPPeer::SendData(std::string_view npdu) {
  SendFrame(tx_sequence ? ptp::kData1 : ptp::kData0, npdu);
  tx_sequence ^= 1;
}

int PTPPeer::Count(uint8_t type) const {
  int n = 0;
  for (const auto& f : frames) n += f.ok && f.type == type;
  return n;
}

const RefFrame* PTPPeer::Last(uint8_t type) const {
  for (auto it = frames.rbegin(); it != frames.rend(); ++it)
    if (it->type == type) return &*it;
  return nullptr;
}

void PTPPeer::Receive(std::string_view octets) {
  raw += octets;
  parser_.Feed(octets);
  std::string t = parser_.TakeText();
  for (char c : t) {
    text += c;
    trigger_window_ += c;
    if (trigger_window_.size() > 7) trigger_window_.erase(0, trigger_window_.size() - 7);
    if (trigger_window_ == "BACnet\r") {
      ++triggers;
      trigger_window_.clear();
      if (answer_trigger) SendFrame(ptp::kConnectRequest);
    }
  }
  for (const RefFrame& f : parser_.TakeFrames()) {
    frames.push_back(f);
    Handle(f);
    if (OnFrame) OnFrame(f);
  }
}

void PTPPeer::Handle(const RefFrame& f) {
  if (!f.ok) return;
  switch (f.type) {
    case ptp::kConnectRequest:
      if (answer_connect_request) {
        // A new connection starts both sequence bits at 0 on either side.
        tx_sequence = expected_rx = 0;
        SendFrame(ptp::kConnectResponse, password);
      }
      break;
    case ptp::kConnectResponse:
      tx_sequence = expected_rx = 0;
      break;
    case ptp::kDisconnectRequest:
      if (answer_disconnect) SendFrame(ptp::kDisconnectResponse);
      break;
    case ptp::kData0:
    case ptp::kData1: {
      int seq = f.type == ptp::kData1;
      if (seq == expected_rx) {
        npdus.push_back(f.data);
        expected_rx ^= 1;
      } else {
        ++duplicates;
      }
      if (!acknowledge_data) break;
      if (drop_acks > 0) {
        --drop_acks;
        break;
      }
      uint8_t ack =
          busy ? (seq ? ptp::kAck1XOff : ptp::kAck0XOff) : (seq ? ptp::kAck1XOn : ptp::kAck0XOn);
      SendFrame(ack);
      break;
    }
    default:
      break;
  }
}

}  // namespace zb::test
