#include "session/connection_info.h"

#include <typeinfo>

namespace zb {

void TConnectionInfo::Assign(const TConnectionInfo& source) {
  if (typeid(source) != typeid(*this) || &source == this) return;
  SpareFlag = source.SpareFlag;
  Offline = source.Offline;
  DirectConnect = source.DirectConnect;
  ComPort = source.ComPort;
  BaudRate = source.BaudRate;
  SpareText1 = source.SpareText1;
  DeviceType = source.DeviceType;
  Logon = source.Logon;
  ModemInit = source.ModemInit;
  Password = source.Password;
  Description = source.Description;
  PanelTypeName = source.PanelTypeName;
  PanelTypeName2 = source.PanelTypeName2;
  PanelType = source.PanelType;
  DisconnectString = source.DisconnectString;
  SpareText2 = source.SpareText2;
  SpareText3 = source.SpareText3;
  PhoneNumber = source.PhoneNumber;
  ConnectString = source.ConnectString;
  ApduRetries = source.ApduRetries;
  ApduTimeoutMs = source.ApduTimeoutMs;
  UDPPort = source.UDPPort;
  DeviceInstance = source.DeviceInstance;
  LocalHost = source.LocalHost;
  VirtualNetwork = source.VirtualNetwork;
  BBMD = source.BBMD;
  BBMDTimeToLive = source.BBMDTimeToLive;
}

namespace {
const char* const kPanelTypeNames[] = {"BACnet/IP", "BACnet PTP"};
const char* const kPanelTypeNames2[] = {"BACnet/IP", "BACnet PTP"};
}  // namespace

std::string PanelTypeName(int32_t panelType) {
  return panelType == 0 || panelType == 1 ? kPanelTypeNames[panelType] : "";
}

std::string PanelTypeName2(int32_t panelType) {
  return panelType == 0 || panelType == 1 ? kPanelTypeNames2[panelType] : "";
}

}  // namespace zb
