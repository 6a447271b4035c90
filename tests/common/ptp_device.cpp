#include "tests/common/ptp_device.h"

#include <cstring>

namespace zb::test {

namespace {

constexpr uint8_t kServiceReadProperty = 12;
constexpr uint8_t kServiceWriteProperty = 15;
constexpr uint8_t kServiceWhoIs = 8;
constexpr uint16_t kObjectDevice = 8;

struct Tag {
  uint32_t number = 0;
  bool context = false;
  bool opening = false;
  bool closing = false;
  uint32_t length = 0;  // content octets
  size_t content = 0;   // where the content starts
  size_t end = 0;       // first octet after the tag
};

// One tag at `pos`, length checked against the buffer.
bool ReadTag(const std::string& d, size_t pos, Tag& t) {
  if (pos >= d.size()) return false;
  const uint8_t b = static_cast<uint8_t>(d[pos]);
  size_t p = pos + 1;
  t = Tag{};
  t.number = b >> 4;
  t.context = (b & 0x08) != 0;
  const uint32_t lvt = b & 0x07;
  if (t.number == 15) {
    if (p >= d.size()) return false;
    t.number = static_cast<uint8_t>(d[p++]);
  }
  if (t.context && lvt == 6) {
    t.opening = true;
  } else if (t.context && lvt == 7) {
    t.closing = true;
  } else if (!t.context && t.number == 1) {
    t.length = 0;  // an application boolean carries its value in the length field
  } else if (lvt == 5) {
    if (p >= d.size()) return false;
    uint32_t l = static_cast<uint8_t>(d[p++]);
    int extra = l == 254 ? 2 : l == 255 ? 4 : 0;
    if (extra) {
      if (p + extra > d.size()) return false;
      l = 0;
      for (int i = 0; i < extra; ++i) l = (l << 8) | static_cast<uint8_t>(d[p++]);
    }
    t.length = l;
  } else {
    t.length = lvt;
  }
  t.content = p;
  if (t.length > d.size() - p) return false;
  t.end = p + t.length;
  return true;
}

bool Unsigned(const std::string& d, const Tag& t, uint32_t& v) {
  if (t.length < 1 || t.length > 4) return false;
  v = 0;
  for (uint32_t i = 0; i < t.length; ++i) v = (v << 8) | static_cast<uint8_t>(d[t.content + i]);
  return true;
}

bool ContextTag(const std::string& d, size_t pos, uint32_t number, Tag& t) {
  return ReadTag(d, pos, t) && t.context && !t.opening && !t.closing && t.number == number;
}

std::string ContextUnsigned(uint8_t number, uint32_t v) {
  std::string out;
  if (v < 0x100) {
    out += static_cast<char>((number << 4) | 0x08 | 1);
    out += static_cast<char>(v);
  } else if (v < 0x10000) {
    out += static_cast<char>((number << 4) | 0x08 | 2);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
  } else {
    out += static_cast<char>((number << 4) | 0x08 | 4);
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(v >> s);
  }
  return out;
}

std::string ObjectId(uint8_t tag_octet, uint16_t type, uint32_t instance) {
  uint32_t v = (static_cast<uint32_t>(type) << 22) | (instance & 0x3FFFFF);
  std::string out(1, static_cast<char>(tag_octet));
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(v >> s);
  return out;
}

std::string ErrorPDU(uint8_t invoke, uint8_t service, uint8_t error_class, uint8_t code) {
  return std::string{'\x50',
                     static_cast<char>(invoke),
                     static_cast<char>(service),
                     '\x91',
                     static_cast<char>(error_class),
                     '\x91',
                     static_cast<char>(code)};
}

}  // namespace

PTPDevice::PTPDevice(PTPPeer& peer, uint32_t instance, uint16_t vendor)
    : peer_(peer), instance_(instance), vendor_(vendor) {
  seen_ = peer_.npdus.size();
  peer_.OnFrame = [this](const RefFrame&) {
    while (seen_ < peer_.npdus.size()) Handle(peer_.npdus[seen_++]);
  };
  Set(kObjectDevice, instance, 77, CharString("PTP Site"));
}

PTPDevice::~PTPDevice() { peer_.OnFrame = nullptr; }

std::string PTPDevice::Real(float v) {
  uint32_t bits = 0;
  std::memcpy(&bits, &v, 4);
  std::string out(1, '\x44');
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(bits >> s);
  return out;
}

std::string PTPDevice::Boolean(bool v) { return std::string(1, v ? '\x11' : '\x10'); }

std::string PTPDevice::CharString(const std::string& text) {
  std::string out;
  size_t n = text.size() + 1;
  if (n <= 4) {
    out += static_cast<char>(0x70 | n);
  } else {
    out += '\x75';
    out += static_cast<char>(n);  // texts of tests stay below 254 octets
  }
  out += '\0';
  out += text;
  return out;
}

std::string PTPDevice::Enumerated(uint32_t v) {
  std::string out(1, '\x91');
  out += static_cast<char>(v);
  return out;
}

void PTPDevice::Set(uint16_t type, uint32_t instance, uint32_t property, std::string encoded) {
  properties_[{type, instance, property}] = std::move(encoded);
}

const std::string* PTPDevice::Get(uint16_t type, uint32_t instance, uint32_t property) const {
  auto it = properties_.find({type, instance, property});
  return it == properties_.end() ? nullptr : &it->second;
}

bool PTPDevice::ObjectKnown(uint16_t type, uint32_t instance) const {
  auto it = properties_.lower_bound({type, instance, 0});
  return it != properties_.end() && std::get<0>(it->first) == type &&
         std::get<1>(it->first) == instance;
}

void PTPDevice::Answer(const std::string& apdu) {
  // To a device on the line itself: version 1, no control bits.
  if (answering) peer_.SendData(std::string("\x01\x00", 2) + apdu);
}

void PTPDevice::Handle(const std::string& npdu) {
  if (npdu.size() < 2 || npdu[0] != '\x01') {
    bad.push_back(npdu);
    return;
  }
  const uint8_t control = static_cast<uint8_t>(npdu[1]);
  size_t pos = 2;
  uint16_t dnet = 0;
  if (control & 0x20) {
    if (pos + 3 > npdu.size()) return bad.push_back(npdu);
    dnet = static_cast<uint16_t>((static_cast<uint8_t>(npdu[pos]) << 8) |
                                 static_cast<uint8_t>(npdu[pos + 1]));
    pos += 3 + static_cast<uint8_t>(npdu[pos + 2]);
  }
  if (control & 0x08) {
    if (pos + 3 > npdu.size()) return bad.push_back(npdu);
    pos += 3 + static_cast<uint8_t>(npdu[pos + 2]);
  }
  if (control & 0x20) ++pos;  // hop count
  if (pos > npdu.size()) return bad.push_back(npdu);
  if (control & 0x80) {
    ++network_messages;
    return;
  }
  // Not a router: only requests for this network or global broadcasts are ours.
  if ((control & 0x20) && dnet != 0xFFFF) return;
  const std::string apdu = npdu.substr(pos);
  if (apdu.empty()) return bad.push_back(npdu);
  const uint8_t type = static_cast<uint8_t>(apdu[0]) >> 4;
  if (type == 1) {
    if (apdu.size() >= 2 && static_cast<uint8_t>(apdu[1]) == kServiceWhoIs) {
      // The range, when there is one, must hold our instance.
      Tag lo, hi;
      uint32_t low = 0, high = 0x3FFFFF;
      if (apdu.size() > 2) {
        if (!ContextTag(apdu, 2, 0, lo) || !Unsigned(apdu, lo, low) ||
            !ContextTag(apdu, lo.end, 1, hi) || !Unsigned(apdu, hi, high) || hi.end != apdu.size())
          return bad.push_back(apdu);
      }
      ++who_is;
      if (instance_ < low || instance_ > high) return;
      std::string iam = std::string("\x10\x00", 2) + ObjectId(0xC4, kObjectDevice, instance_);
      iam += std::string("\x22\x01\xE0", 3);  // max APDU 480
      iam += std::string("\x91\x03", 2);      // no segmentation
      std::string vendor = ContextUnsigned(2, vendor_);
      vendor[0] = static_cast<char>(vendor[0] & ~0x08);  // application tag 2, unsigned
      iam += vendor;
      Answer(iam);
    }
    return;
  }
  if (type == 0) return HandleConfirmed(apdu);
}

void PTPDevice::HandleConfirmed(const std::string& apdu) {
  // Header: type and flags, max segments/APDU, invoke ID, service choice. Segmented requests
  // are not expected from the driver on a 480-octet line.
  if (apdu.size() < 4 || (static_cast<uint8_t>(apdu[0]) & 0x08)) return bad.push_back(apdu);
  Request r;
  r.invoke = static_cast<uint8_t>(apdu[2]);
  r.service = static_cast<uint8_t>(apdu[3]);
  r.apdu = apdu;
  Tag t;
  uint32_t oid = 0;
  if (!ContextTag(apdu, 4, 0, t) || t.length != 4 || !Unsigned(apdu, t, oid))
    return bad.push_back(apdu);
  r.type = static_cast<uint16_t>(oid >> 22);
  r.instance = oid & 0x3FFFFF;
  if (!ContextTag(apdu, t.end, 1, t) || !Unsigned(apdu, t, r.property)) return bad.push_back(apdu);
  size_t pos = t.end;
  Tag idx;
  if (ContextTag(apdu, pos, 2, idx)) {
    uint32_t i = 0;
    if (!Unsigned(apdu, idx, i)) return bad.push_back(apdu);
    r.index = i;
    pos = idx.end;
  }

  if (r.service == kServiceReadProperty) {
    if (pos != apdu.size()) return bad.push_back(apdu);
    requests.push_back(r);
    const bool object_known = ObjectKnown(r.type, r.instance);
    const std::string* v = Get(r.type, r.instance, r.property);
    if (!object_known) return Answer(ErrorPDU(r.invoke, r.service, 1, 31));       // unknown object
    if (!v || r.index >= 0) return Answer(ErrorPDU(r.invoke, r.service, 2, 32));  // property
    std::string ack{'\x30', static_cast<char>(r.invoke), static_cast<char>(r.service)};
    ack += ObjectId(0x0C, r.type, r.instance);
    ack += ContextUnsigned(1, r.property);
    ack += '\x3E';
    ack += *v;
    ack += '\x3F';
    return Answer(ack);
  }

  if (r.service == kServiceWriteProperty) {
    if (!ReadTag(apdu, pos, t) || !t.opening || t.number != 3) return bad.push_back(apdu);
    const size_t value_start = t.end;
    size_t p = value_start;
    int depth = 0;
    for (;;) {
      if (!ReadTag(apdu, p, t)) return bad.push_back(apdu);
      if (t.closing && depth == 0) {
        if (t.number != 3) return bad.push_back(apdu);
        break;
      }
      if (t.opening) ++depth;
      if (t.closing) --depth;
      p = t.end;
    }
    r.value = apdu.substr(value_start, p - value_start);
    pos = t.end;
    if (pos < apdu.size()) {
      uint32_t prio = 0;
      if (!ContextTag(apdu, pos, 4, t) || !Unsigned(apdu, t, prio) || t.end != apdu.size())
        return bad.push_back(apdu);
      r.priority = static_cast<int>(prio);
    }
    requests.push_back(r);
    if (!ObjectKnown(r.type, r.instance)) return Answer(ErrorPDU(r.invoke, r.service, 1, 31));
    if (!Get(r.type, r.instance, r.property)) return Answer(ErrorPDU(r.invoke, r.service, 2, 32));
    if (r.value.empty()) return Answer(ErrorPDU(r.invoke, r.service, 2, 9));  // invalid type
    Set(r.type, r.instance, r.property, r.value);
    return Answer(std::string{'\x20', static_cast<char>(r.invoke), static_cast<char>(r.service)});
  }

  requests.push_back(r);
  // Any other service: reject it (unrecognized service).
  Answer(std::string{'\x60', static_cast<char>(r.invoke), '\x09'});
}

}  // namespace zb::test
