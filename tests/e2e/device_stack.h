// A device over the real application layer, network layer and BACnet/IP link, as a session
// assembles it, for end-to-end tests against the independent peer.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bacnet/app/application.h"
#include "bacnet/app/device.h"
#include "bacnet/link/data_link_bip.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"
#include "tests/common/netns.h"

namespace zb::bacnet::device_e2e {

struct BIPDeviceStack {
  platform::MessageLoop loop;
  TBACnetDataLinkBIP link{loop};
  TBACnetNetwork network;
  TBACnetApplication app{loop};
  TBACnetDevice dev{loop};
  std::vector<std::string> log;  // the device's lines (channel 3)

  BIPDeviceStack() {
    network.DataLink = &link;
    network.NetworkNumber = 13689;
    app.Network = &network;
    dev.App = &app;
    dev.LoadStoredDefaults();
    dev.NetworkNumber = 13689;
    dev.OnTrace = [this](void*, const std::string& text, int channel) {
      if (channel == 3) log.push_back(text);
    };
  }
  ~BIPDeviceStack() {
    dev.Open(false);
    app.OnIndication = nullptr;
    app.OnTransactionFailed = nullptr;
  }

  // Binds to the host's address inside its namespace and opens the stack.
  bool Open(test::TestNetwork& net, int host) {
    bool ok = false;
    net.In(host, [&] {
      link.SetLocalHost(net.Address(host));
      ok = dev.Open(true);
    });
    return ok;
  }

  bool Logged(const std::string& prefix) const {
    for (const auto& l : log)
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }
};

inline std::string Bytes(int octet) { return std::string(1, static_cast<char>(octet)); }

// "10.47.0.2" and port 47808 as the six octets of a BACnet/IP address.
inline std::string BIPAddress(const std::string& dotted, int port = 47808) {
  std::string out;
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = dotted.find('.', start);
    out += static_cast<char>(std::stoi(dotted.substr(start, dot - start)));
    start = dot + 1;
  }
  out += static_cast<char>((port >> 8) & 0xFF);
  out += static_cast<char>(port & 0xFF);
  return out;
}

}  // namespace zb::bacnet::device_e2e
