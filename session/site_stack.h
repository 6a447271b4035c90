// The BACnet stack a session reaches its site through: both links, the network layer, the
// application layer and the device, wired bottom-up. The link is chosen on connect by one typed
// settings call per link; the session never touches a link's fields itself.
#pragma once

#include <functional>
#include <string>

#include "bacnet/app/application.h"
#include "bacnet/app/device.h"
#include "bacnet/link/data_link_bip.h"
#include "bacnet/link/data_link_ptp.h"
#include "bacnet/net/network.h"
#include "platform/message_loop.h"
#include "session/connection_info.h"

namespace zb {

// The device's side of a connection; zero means the default.
struct TDeviceSettings {
  int ApduTimeoutMs = 0;
  int ApduRetries = 0;
  int DeviceInstance = 0;
  int VirtualNetwork = 0;
  static TDeviceSettings From(const TConnectionInfo& info);
};

// A BACnet/IP connection; a zero port means 47808, an empty host any address.
struct TBIPSettings {
  int UDPPort = 0;
  std::string LocalHost;
  std::string BBMD;  // empty: no foreign-device registration
  int BBMDTimeToLive = 0;
  static TBIPSettings From(const TConnectionInfo& info);
};

// A PTP connection over a serial line, direct or through a modem.
struct TPTPSettings {
  int BitsPerSecond = 9600;
  std::string ConnectString;
  std::string DisconnectString;
  std::string PhoneNumber;
  std::string ModemInit;
  bool DirectConnect = false;
  std::string Password;
  int ComPort = 1;
  static TPTPSettings From(const TConnectionInfo& info);
};

class TSiteStack {
 public:
  using TraceHandler = std::function<void(void* sender, const std::string& text, int channel)>;

  // emulations: handed to the PTP link's serial port (see TSerialPort).
  explicit TSiteStack(platform::MessageLoop& loop,
                      const platform::ModemLineEmulations* emulations = nullptr);
  ~TSiteStack();
  TSiteStack(const TSiteStack&) = delete;
  TSiteStack& operator=(const TSiteStack&) = delete;

  // Declared bottom-up, so each outlives the layer above it.
  bacnet::TBACnetDataLinkBIP BIP;
  bacnet::TBACnetDataLinkPTP PTP;
  bacnet::TBACnetNetwork Network;
  bacnet::TBACnetApplication Application;
  bacnet::TBACnetDevice Device;

  // Every layer traces to one handler (nullptr: none).
  void SetTrace(const TraceHandler& trace);
  // Every packet either link sends or receives (nullptr: the links build no packet record).
  void SetCapture(const bacnet::CaptureHandler& tap);

  void Configure(const TDeviceSettings& settings);
  // Chooses a link and applies its settings; nothing is opened yet (a PTP port already open is
  // re-opened on its new number).
  void UseBIP(const TBIPSettings& settings);
  void UsePTP(const TPTPSettings& settings);
  // Opens the stack on the chosen link (B/IP: nothing waits).
  bool Open() { return Device.Open(true); }
  // The same for a link whose set-up waits (PTP): suspends the awaiting task meanwhile.
  platform::Task<bool> OpenAwaited() { return Device.OpenAsync(true); }
  // Closes the chosen link (a PTP line hangs up meanwhile, the task suspended); true once it is
  // closed, false when no link was chosen or it would not close.
  platform::Task<bool> Close();

  // The PTP link is the chosen one, open, and its connection is up (what a repeated connect keeps).
  bool PTPLineUp();
  // Where the B/IP link is bound ("0.0.0.0:47808" for any address).
  std::string BoundAddress();
  // Who-Is and I-Am-Router-To-Network.
  void Discover();
};

// Baud-rate value of the PTP link for a line speed in bit/s (9600 for speeds it does not know).
int PTPBaudRateFor(int bitsPerSecond);

}  // namespace zb
