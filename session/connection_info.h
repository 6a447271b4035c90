// One site's connection parameters as the host's Connect list gives them. The driver object
// fills one; every session keeps its own copy. (It sits below the driver layer because the
// sessions hold it too.)
#pragma once

#include <cstdint>
#include <string>

namespace zb {

class TConnectionInfo {
 public:
  virtual ~TConnectionInfo() = default;

  bool SpareFlag = false;
  bool Offline = false;
  bool DirectConnect = true;
  int32_t ComPort = 0;
  int32_t BaudRate = 0;
  std::string SpareText1;
  std::string DeviceType;
  std::string Logon;
  std::string ModemInit;
  std::string Password;
  std::string Description;
  std::string PanelTypeName;
  std::string PanelTypeName2;
  int32_t PanelType = 0;  // 0 BACnet/IP, 1 BACnet PTP
  std::string DisconnectString;
  std::string SpareText2;
  std::string SpareText3;
  std::string PhoneNumber;
  std::string ConnectString;
  int32_t ApduRetries = 0;
  int32_t ApduTimeoutMs = 0;
  int32_t UDPPort = 0;
  int32_t DeviceInstance = 0;
  std::string LocalHost;
  int32_t VirtualNetwork = 0;
  std::string BBMD;            // BACnet/IP: register as a foreign device here ("host[:port]")
  int32_t BBMDTimeToLive = 0;  // seconds; 0 means 300

  // Copies every field of `source`; does nothing when it is of another class.
  void Assign(const TConnectionInfo& source);
};

// Display names of the panel types, indexed by PanelType; empty outside 0 and 1.
std::string PanelTypeName(int32_t panelType);
std::string PanelTypeName2(int32_t panelType);

}  // namespace zb
