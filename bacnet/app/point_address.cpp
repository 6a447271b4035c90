#include "bacnet/app/point_address.h"

#include <cctype>

#include "bacnet/app/text_tables.h"
#include "support/number_text.h"
#include "support/strings.h"

namespace zb::bacnet {

namespace {

bool Contains(std::string_view s, char c) { return s.find(c) != std::string_view::npos; }

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Dotted IPv4 address with an optional ":" port: four octets and the port, high octet first;
// port 47808 (BA C0) when none is given.
std::string DottedOctets(std::string_view text) {
  std::string out = LongToBytes(DottedToInt(TextBefore(text, ":")));
  if (Contains(text, ':'))
    out += WordToBytes(uint16_t(TextToInt(TextAfter(text, ":"))));
  else
    out += "\xBA\xC0";
  return out;
}

// Hexadecimal octets, each followed by ":" (the last one may lack it), read two digits and the
// separator at a time. Digits are not validated: a character that is no hexadecimal digit counts
// as 0, which is harmless for a MAC address the user mistyped.
std::string HexOctets(std::string_view text) {
  std::string out;
  while (Contains(text, ':')) {
    out.push_back(char(HexToInt(TextBefore(text, ":")) & 0xFF));
    text.remove_prefix(text.size() < 3 ? text.size() : 3);
  }
  if (!text.empty()) out.push_back(char(HexToInt(text) & 0xFF));
  return out;
}

// Octets as two-digit upper-case hexadecimal joined by ":". A single octet keeps a trailing ":"
// so that it still reads back as hexadecimal.
std::string JoinHex(std::string_view octets) {
  std::string out;
  for (size_t i = 0; i < octets.size(); ++i) {
    if (i) out += ':';
    out += BytesToHex(octets.substr(i, 1));
  }
  if (octets.size() == 1) out += ':';
  return out;
}

// The object part begins with an object code or "PROP".
bool BeginsObjectPart(std::string_view text) {
  std::string upper = Upper(text.substr(0, 4));
  if (upper.starts_with("PROP")) return true;
  for (int t = 0; t < kObjectTypeCount; ++t)
    if (upper.starts_with(ObjectTypeCode(t))) return true;
  return false;
}

// Where the device address ends. Raw "@" addresses may hold any octet, "-" and "]" included, so
// their object part is found from the end: the last "-" that an object code follows.
size_t DeviceAddressEnd(std::string_view text) {
  if (!text.starts_with('@')) return text.find('-');
  for (size_t p = text.rfind('-'); p != std::string_view::npos && p > 0; p = text.rfind('-', p - 1))
    if (BeginsObjectPart(text.substr(p + 1))) return p;
  return text.find('-');
}

}  // namespace

bool ParsePointAddress(std::string_view input, TBACnetPointAddress& a) {
  a = TBACnetPointAddress{};
  a.PropertyID = 0;
  a.Qualifier = 16;
  std::string text(input);
  std::string networkText;
  std::string router;

  // Bracket part: "[network]" or "[router-network]". A raw "@" address has none, so its octets
  // are never taken for brackets.
  if (!text.starts_with('@') && Contains(text, ']')) {
    std::string bracket;
    size_t open = text.find('[');
    size_t close = open == std::string::npos ? open : text.find(']', open + 1);
    if (close != std::string::npos) bracket = text.substr(open + 1, close - open - 1);
    networkText = TextAfter(bracket, "-");
    if (Contains(bracket, '.'))
      router = DottedOctets(TextBefore(bracket, "-"));
    else if (Contains(bracket, ':'))
      router = HexOctets(TextBefore(bracket, "-"));
    text = TextAfter(text, "]");
  }

  size_t dash = DeviceAddressEnd(text);
  if (dash == std::string::npos || dash == 0 || text.size() - dash - 1 < 2) return false;
  std::string deviceText = text.substr(0, dash);
  std::string object = Upper(std::string_view(text).substr(dash + 1));

  a.ShortForm = !Contains(object, '#');
  bool found = false;
  for (int t = 0; t < kObjectTypeCount && !found; ++t) {
    std::string_view code = ObjectTypeCode(t);
    if (object.starts_with(code)) {
      a.ObjectType = t;
      object = TextAfter(object.substr(code.size()), "#");
      found = true;
    }
  }
  if (!found) {
    if (!object.starts_with("PROP")) return false;
    object.erase(0, 4);
    if (!TryStrToInt(TextBefore(object, "#"), a.ObjectType)) return false;
    object = TextAfter(object, "#");
  }

  if (Contains(object, ':')) {
    if (!TryStrToInt(TextBefore(object, ":"), a.InstanceID)) return false;
    std::string rest = TextAfter(object, ":");
    if (!TryStrToInt(TextBefore(rest, "."), a.PropertyID)) return false;
    if (Contains(object, '.')) {
      std::string qualifier = TextAfter(rest, ".");
      if (!qualifier.empty() && !TryStrToInt(qualifier, a.Qualifier)) return false;
    }
  } else {
    if (!TryStrToInt(object, a.InstanceID)) return false;
    a.PropertyID = -1;
  }

  a.Network = uint16_t(TextToInt(networkText));
  a.RouterAddress = router;

  if (deviceText.starts_with('@')) {
    a.DeviceAddress = std::string_view(deviceText).substr(1);
  } else if (Contains(deviceText, '.')) {
    a.DeviceAddress = DottedOctets(deviceText);
  } else if (Contains(deviceText, ':')) {
    a.DeviceAddress = HexOctets(deviceText);
  } else {
    int32_t octet = TextToInt(deviceText);
    if (octet < 0 || octet > 254) return false;
    a.DeviceAddress = std::string(1, char(octet));
  }
  return true;
}

std::string FormatPointAddress(const TBACnetPointAddress& a) {
  std::string out;
  // A router is written whenever there is one (hexadecimal, any length), and with it the
  // network even when that is 0, so that the text reads back to the same record.
  if (!a.RouterAddress.empty())
    out += "[" + JoinHex(a.RouterAddress.view()) + "-" + std::to_string(a.Network) + "]";
  else if (a.Network != 0)
    out += "[" + std::to_string(a.Network) + "]";

  std::string_view device = a.DeviceAddress.view();
  if (device.empty())
    out += "@";  // reads back as an empty address; without it the text would not parse
  else if (device.size() == 1 && uint8_t(device[0]) != 255)
    out += std::to_string(uint8_t(device[0]));
  else
    out += JoinHex(device);  // 255 is out of the decimal range, so "FF:"

  out += "-";
  std::string_view code = ObjectTypeCode(a.ObjectType);
  bool hasCode = !code.empty();
  if (hasCode)
    out += code;
  else
    out += "PROP" + std::to_string(a.ObjectType);

  // The short form cannot separate "PROP" digits from the instance; it reads back as one number
  // for both, so it is only written when they are equal.
  bool shortForm = a.ShortForm && (hasCode || a.InstanceID == a.ObjectType);
  if (shortForm) {
    if (hasCode) out += std::to_string(a.InstanceID);
  } else {
    out += "#" + std::to_string(a.InstanceID);
  }
  // The property part is kept in the short form too, and whenever a qualifier needs it.
  if (a.PropertyID != -1 || a.Qualifier != 16) {
    out += ":" + std::to_string(a.PropertyID);
    if (a.Qualifier != 16) out += "." + std::to_string(a.Qualifier);
  }
  return out;
}

std::string FormatObjectAddress(int32_t objectType, int32_t instance, int32_t network,
                                std::string_view address) {
  std::string out;
  if (network != 0) out += "[" + std::to_string(network) + "]";
  out += "@";
  out.append(address);
  out += "-";
  std::string_view code = ObjectTypeCode(objectType);
  // Types without a code take the "#" form, which separates type and instance.
  if (!code.empty())
    out += std::string(code) + std::to_string(instance);
  else
    out += "PROP" + std::to_string(objectType) + "#" + std::to_string(instance);
  return out;
}

}  // namespace zb::bacnet
