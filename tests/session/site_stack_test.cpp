// The site stack on its own: wiring and defaults, the typed settings of each link reaching the
// layers, and closing when no link was ever chosen.
#include "session/site_stack.h"

#include <gtest/gtest.h>

#include "tests/common/run_task.h"

namespace zb {
namespace {

bool Closes(platform::MessageLoop& loop, TSiteStack& stack) {
  return test::RunTask(loop, stack.Close());
}

TEST(SiteStack, WiredBottomUpWithDefaultsAndNoLinkChosen) {
  platform::MessageLoop loop;
  TSiteStack s(loop);
  EXPECT_EQ(s.Device.App, &s.Application);
  EXPECT_EQ(s.Application.Network, &s.Network);
  EXPECT_EQ(s.Network.DataLink, nullptr);
  EXPECT_EQ(s.Network.NetworkNumber, 13689);
  EXPECT_EQ(s.BIP.UDPPort(), 47808);
  EXPECT_EQ(s.PTP.BaudRate(), bacnet::br38400);
  EXPECT_FALSE(s.PTPLineUp());
  EXPECT_FALSE(Closes(loop, s)) << "nothing to close is not a close";

  s.Configure({});
  EXPECT_EQ(s.Device.APDUTimeout(), 3000);
  EXPECT_EQ(s.Device.NumberOfAPDURetries, 0);
  EXPECT_EQ(s.Device.ObjectIdentifier(), 135);
  EXPECT_EQ(s.Device.NetworkNumber, 13689);
  TConnectionInfo info;
  info.ApduTimeoutMs = 700;
  info.ApduRetries = 2;
  info.DeviceInstance = 4001;
  info.VirtualNetwork = 77;
  s.Configure(TDeviceSettings::From(info));
  EXPECT_EQ(s.Device.APDUTimeout(), 700);
  EXPECT_EQ(s.Device.NumberOfAPDURetries, 2);
  EXPECT_EQ(s.Device.ObjectIdentifier(), 4001);
  EXPECT_EQ(s.Device.NetworkNumber, 77);
}

TEST(SiteStack, EachLinkTakesItsTypedSettings) {
  platform::MessageLoop loop;
  TSiteStack s(loop);
  TConnectionInfo info;
  info.UDPPort = 47809;
  info.LocalHost = "127.0.0.1";
  info.BBMD = "10.0.0.9:47808";
  info.BBMDTimeToLive = 60;
  s.UseBIP(TBIPSettings::From(info));
  EXPECT_EQ(s.Network.DataLink, &s.BIP);
  EXPECT_EQ(s.BIP.UDPPort(), 47809);
  EXPECT_EQ(s.BIP.LocalHost(), "127.0.0.1");
  EXPECT_EQ(s.BIP.BBMD(), "10.0.0.9:47808");
  s.UseBIP({});  // no host given keeps the one set before; no BBMD drops the registration
  EXPECT_EQ(s.BIP.UDPPort(), 47808);
  EXPECT_EQ(s.BIP.LocalHost(), "127.0.0.1");
  EXPECT_EQ(s.BIP.BBMD(), "");

  info.BaudRate = 19200;
  info.ConnectString = "CONNECT";
  info.DisconnectString = "NO CARRIER";
  info.PhoneNumber = "555";
  info.ModemInit = "ATZ";
  info.DirectConnect = true;
  info.Password = "pw";
  info.ComPort = 5;
  s.UsePTP(TPTPSettings::From(info));
  EXPECT_EQ(s.Network.DataLink, &s.PTP);
  EXPECT_EQ(s.PTP.BaudRate(), bacnet::br19200);
  EXPECT_EQ(s.PTP.ConnectString, "CONNECT");
  EXPECT_EQ(s.PTP.DisconnectString, "NO CARRIER");
  EXPECT_EQ(s.PTP.PhoneNumber, "555");
  EXPECT_EQ(s.PTP.ModemInit, "ATZ");
  EXPECT_TRUE(s.PTP.DirectConnect);
  EXPECT_EQ(s.PTP.Password, "pw");
  EXPECT_EQ(s.PTP.Port().ComNumber, 5);
  EXPECT_FALSE(s.PTP.Port().Open()) << "choosing the link opens nothing";
  EXPECT_FALSE(s.PTPLineUp());
  info.BaudRate = 1234;
  s.UsePTP(TPTPSettings::From(info));
  EXPECT_EQ(s.PTP.BaudRate(), bacnet::br9600);
}

}  // namespace
}  // namespace zb
