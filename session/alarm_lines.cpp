#include "session/alarm_lines.h"

#include <cstdio>

#include "bacnet/app/bacnet_date.h"
#include "support/strings.h"

namespace zb {

namespace {

constexpr size_t kFixedReferenceOctets = 24;

bool Fits16(int64_t v) { return v >= 0 && v <= 0xFFFF; }

std::string Real2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace

std::string FormatAckReference(const TAckReference& r) {
  if (!Fits16(r.InitiatingObjectType) || !Fits16(r.InitiatingInstance) ||
      !Fits16(r.EventObjectType) || !Fits16(r.EventInstance) || r.ToState > 0xFFFF ||
      r.TimeStamp.size() != 8)
    return {};
  std::string octets = LongToBytes(r.ProcessIdentifier);
  octets += WordToBytes(uint16_t(r.InitiatingObjectType));
  octets += WordToBytes(uint16_t(r.InitiatingInstance));
  octets += WordToBytes(uint16_t(r.EventObjectType));
  octets += WordToBytes(uint16_t(r.EventInstance));
  octets += WordToBytes(uint16_t(r.ToState));
  octets += r.TimeStamp;
  octets += WordToBytes(r.Network);
  octets += r.Address;
  return BytesToHex(octets);
}

TAckReference AckReferenceOf(const bacnet::TEventNotification& n, int sourceNetwork,
                             std::string_view sourceAddress) {
  TAckReference r;
  r.ProcessIdentifier = n.ProcessIdentifier;
  r.InitiatingObjectType = n.InitiatingObjectType;
  r.InitiatingInstance = n.InitiatingInstance;
  r.EventObjectType = n.EventObjectType;
  r.EventInstance = n.EventInstance;
  r.ToState = n.ToState;
  if (n.TimeStampDate.size() == 4 && n.TimeStampTime.size() == 4)
    r.TimeStamp = n.TimeStampDate + n.TimeStampTime;
  r.Network = uint16_t(sourceNetwork);
  r.Address = std::string(sourceAddress);
  return r;
}

bool ParseAckReference(std::string_view hex, TAckReference& r) {
  const std::string o = HexToBytes(hex);
  if (o.size() < kFixedReferenceOctets) return false;
  r.ProcessIdentifier = GetLong(o, 1);
  r.InitiatingObjectType = GetWord(o, 5);
  r.InitiatingInstance = GetWord(o, 7);
  r.EventObjectType = GetWord(o, 9);
  r.EventInstance = GetWord(o, 11);
  r.ToState = GetWord(o, 13);
  r.TimeStamp = o.substr(14, 8);
  r.Network = GetWord(o, 23);
  r.Address = o.substr(kFixedReferenceOctets);
  return true;
}

void ApplyMessagePrefix(TAlarmMessage& m) {
  std::string& s = m.Message;
  if (s.size() <= 2 || s[0] != '{' || !IsLetterChar(s[1]) || !IsDigitChar(s[2])) return;
  switch (s[1]) {
    case 'A':
      m.Class = 1;
      m.Acknowledge = true;
      break;
    case 'I':
      m.Class = 3;
      m.Acknowledge = true;
      break;
    case 'M':
    case 'W':
      m.Class = 2;
      m.Acknowledge = true;
      break;
    case 'a':
      m.Class = 1;
      m.Acknowledge = false;
      break;
    case 'i':
      m.Class = 3;
      m.Acknowledge = false;
      break;
    case 'm':
    case 'w':
      m.Class = 2;
      m.Acknowledge = false;
      break;
    default:
      m.Class = 1;
      m.Acknowledge = true;
      break;
  }
  const int digit = s[2] - '0';
  m.Level = digit > 3 ? 3 : digit;
  s.erase(0, 3);
  size_t lt = s.find('<');
  if (lt != std::string::npos) {
    size_t gt = s.find('>', lt + 1);
    if (gt != std::string::npos) {
      m.Note = s.substr(lt + 1, gt - lt - 1);
      s.erase(lt, gt - lt + 1);
    }
  }
  size_t caret = s.find('^');
  if (caret != std::string::npos) {
    size_t end = s.find('^', caret + 1);
    if (end != std::string::npos) s.erase(caret, end - caret + 1);
  }
  size_t cut = s.find("[>");
  if (cut != std::string::npos) s.erase(cut);
  cut = s.find('}');
  if (cut != std::string::npos) s.erase(cut);
  std::erase(s, '\n');
}

std::string AlarmTimeText(double dateTime) {
  bacnet::DateTimeParts p;
  if (!bacnet::DecodeDateTime(dateTime, p)) return "{00/00/0000 00:00}";
  char buf[64];
  std::snprintf(buf, sizeof buf, "{%02d/%02d/%04d %02d:%02d}", p.Month, p.Day, p.Year, p.Hour,
                p.Minute);
  return buf;
}

bool FormatAlarmLine(const bacnet::TEventNotification& n, int sourceNetwork,
                     std::string_view sourceAddress, std::string& line) {
  line.clear();
  if (n.NotifyType != 0 && n.NotifyType != 1) return false;
  TAlarmMessage m;
  m.Class = n.NotifyType == 0 ? 1 : 3;
  m.Message = n.MessageText;
  if (!m.Message.empty() && static_cast<unsigned char>(m.Message[0]) < 32) m.Message.erase(0, 1);
  if (n.TimeStamp == 0) return false;

  std::string value;
  bool hasValue = false;
  switch (n.EventType) {
    case 0:
      if (n.HasBitStringValue) value = n.BitStringValue, hasValue = true;
      break;
    case 2:
      if (n.HasChangedBits)
        value = n.ChangedBits, hasValue = true;
      else if (n.HasChangedValue)
        value = Real2(n.ChangedValue), hasValue = true;
      break;
    case 4:
      if (n.HasReferenceValue) value = Real2(n.ReferenceValue), hasValue = true;
      break;
    case 5:
      if (n.HasExceedingValue) value = Real2(n.ExceedingValue), hasValue = true;
      break;
    default:
      break;
  }
  std::string reference;
  if (n.AckRequired)
    reference = FormatAckReference(AckReferenceOf(n, sourceNetwork, sourceAddress));

  ApplyMessagePrefix(m);
  if (hasValue) m.Message += " (Value=" + value + ")";
  if (!reference.empty()) m.Message += "BND:" + reference;

  line = AlarmTimeText(n.TimeStamp) + "{" + m.Message + "}{" + std::to_string(m.Class) + "}{" +
         std::to_string(m.Level) + "}{" + (m.Acknowledge ? "TRUE" : "FALSE") + "}{" + m.Note + "}";
  return true;
}

}  // namespace zb
