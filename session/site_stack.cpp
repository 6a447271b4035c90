#include "session/site_stack.h"

namespace zb {

namespace {
constexpr int kDefaultUDPPort = 47808;
constexpr int kDefaultDeviceInstance = 135;
constexpr int kDefaultApduTimeout = 3000;
constexpr int kDefaultVirtualNetwork = 13689;
}  // namespace

int PTPBaudRateFor(int bitsPerSecond) {
  switch (bitsPerSecond) {
    case 300:
      return bacnet::br300;
    case 1200:
      return bacnet::br1200;
    case 2400:
      return bacnet::br2400;
    case 4800:
      return bacnet::br4800;
    case 9600:
      return bacnet::br9600;
    case 19200:
      return bacnet::br19200;
    case 38400:
      return bacnet::br38400;
    case 57600:
      return bacnet::br57600;
    default:
      return bacnet::br9600;
  }
}

TDeviceSettings TDeviceSettings::From(const TConnectionInfo& info) {
  TDeviceSettings s;
  s.ApduTimeoutMs = info.ApduTimeoutMs;
  s.ApduRetries = info.ApduRetries;
  s.DeviceInstance = info.DeviceInstance;
  s.VirtualNetwork = info.VirtualNetwork;
  return s;
}

TBIPSettings TBIPSettings::From(const TConnectionInfo& info) {
  TBIPSettings s;
  s.UDPPort = info.UDPPort;
  s.LocalHost = info.LocalHost;
  s.BBMD = info.BBMD;
  s.BBMDTimeToLive = info.BBMDTimeToLive;
  return s;
}

TPTPSettings TPTPSettings::From(const TConnectionInfo& info) {
  TPTPSettings s;
  s.BitsPerSecond = info.BaudRate;
  s.ConnectString = info.ConnectString;
  s.DisconnectString = info.DisconnectString;
  s.PhoneNumber = info.PhoneNumber;
  s.ModemInit = info.ModemInit;
  s.DirectConnect = info.DirectConnect;
  s.Password = info.Password;
  s.ComPort = info.ComPort;
  return s;
}

TSiteStack::TSiteStack(platform::MessageLoop& loop, const platform::ModemLineEmulations* emulations)
    : BIP(loop), PTP(loop, emulations), Application(loop), Device(loop) {
  Device.App = &Application;
  Device.LoadStoredDefaults();
  Application.Network = &Network;
  Network.NetworkNumber = kDefaultVirtualNetwork;
  Network.DataLink = nullptr;  // chosen on connect
  BIP.SetUDPPort(kDefaultUDPPort);
  PTP.SetBaudRate(bacnet::br38400);
  PTP.DirectConnect = false;
  // The stored port (1) is applied when a PTP connect sets the host's: assigning a port opens
  // it, and an idle session must not hold a serial device.
}

TSiteStack::~TSiteStack() {
  SetTrace(nullptr);
  SetCapture(nullptr);
}

void TSiteStack::SetTrace(const TraceHandler& trace) {
  BIP.OnTrace = trace;
  PTP.OnTrace = trace;
  Network.OnTrace = trace;
  Application.OnTrace = trace;
  Device.OnTrace = trace;
}

void TSiteStack::SetCapture(const bacnet::CaptureHandler& tap) {
  BIP.OnCapture = tap;
  PTP.OnCapture = tap;
}

void TSiteStack::Configure(const TDeviceSettings& s) {
  Device.SetAPDUTimeout(s.ApduTimeoutMs != 0 ? s.ApduTimeoutMs : kDefaultApduTimeout);
  Device.NumberOfAPDURetries = s.ApduRetries;
  Device.SetObjectIdentifier(s.DeviceInstance != 0 ? s.DeviceInstance : kDefaultDeviceInstance);
  Device.NetworkNumber = s.VirtualNetwork != 0 ? s.VirtualNetwork : kDefaultVirtualNetwork;
}

void TSiteStack::UseBIP(const TBIPSettings& s) {
  Network.DataLink = &BIP;
  BIP.SetUDPPort(s.UDPPort != 0 ? s.UDPPort : kDefaultUDPPort);
  if (!s.LocalHost.empty()) BIP.SetLocalHost(s.LocalHost);
  BIP.SetForeignDevice(s.BBMD, s.BBMDTimeToLive);
}

void TSiteStack::UsePTP(const TPTPSettings& s) {
  // In this order; how they reach the line is the link's business.
  Network.DataLink = &PTP;
  PTP.SetBaudRate(PTPBaudRateFor(s.BitsPerSecond));
  PTP.ConnectString = s.ConnectString;
  PTP.DisconnectString = s.DisconnectString;
  PTP.PhoneNumber = s.PhoneNumber;
  PTP.ModemInit = s.ModemInit;
  PTP.DirectConnect = s.DirectConnect;
  PTP.Password = s.Password;
  PTP.SetComport(s.ComPort);
}

platform::Task<bool> TSiteStack::Close() {
  if (Network.DataLink != &BIP && Network.DataLink != &PTP) co_return false;
  co_return !(co_await Device.OpenAsync(false));
}

bool TSiteStack::PTPLineUp() {
  return Network.DataLink == &PTP && PTP.Active &&
         PTP.Machines().ConnectionState != bacnet::csDisconnected;
}

std::string TSiteStack::BoundAddress() {
  const std::string& host = BIP.Socket().LocalHost();
  return (host.empty() ? std::string("0.0.0.0") : host) + ":" +
         std::to_string(BIP.Socket().LocalPort());
}

void TSiteStack::Discover() {
  Device.SendWhoIs();
  Device.SendIAmRouterToNetwork();
}

}  // namespace zb
