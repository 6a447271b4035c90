// A data link that records what the network layer hands it and lets a test inject frames.
#pragma once

#include <string>
#include <vector>

#include "bacnet/link/data_link.h"

namespace zb::bacnet::testing {

class ScriptedLink : public TBACnetDataLink {
 public:
  bool SetActive(bool open) override {
    ++opens;
    Active = open && open_result;
    return Active;
  }
  int MaxAPDUCode() override { return 4; }
  bool Send(const TBACnetFrame& frame) override {
    sent.push_back(frame);
    return send_result;
  }
  void SetParameter(int kind, const Variant& value) override {
    if (throw_on_set) throw VariantError("refused");
    parameters.emplace_back(kind, value);
  }
  void GetParameter(int kind, Variant& value) override {
    if (kind == kParamLocalAddress) value = Variant(std::string("\x0A\x00\x00\x01\xBA\xC0", 6));
  }
  bool IsPointToPoint() const override { return point_to_point; }

  // Hands a received NPDU to whoever listens, as a link does.
  void Inject(const std::string& npdu, const std::string& source) {
    TBACnetFrame frame;
    frame.SourceAddress = source;
    frame.Length = static_cast<int>(npdu.size());
    std::copy(npdu.begin(), npdu.end(), frame.Data);
    Deliver(frame);
  }

  std::string SentOctets(size_t i) const {
    return std::string(reinterpret_cast<const char*>(sent.at(i).Data), sent.at(i).Length);
  }

  std::vector<TBACnetFrame> sent;
  std::vector<std::pair<int, Variant>> parameters;
  int opens = 0;
  bool open_result = true;
  bool send_result = true;
  bool throw_on_set = false;
  bool point_to_point = false;
};

inline std::string Octets(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}

}  // namespace zb::bacnet::testing
