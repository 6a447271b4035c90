#include "session/bacnet_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "session/command_kinds.h"
#include "tests/common/netns.h"

namespace zb {
namespace {

struct Client : TSessionClient {
  TSiteSession* gone = nullptr;
  void SessionGone(TSiteSession* s) override { gone = s; }
};

int CountLines(const platform::TextView& v, const std::string& text) {
  return static_cast<int>(std::count(v.Lines().begin(), v.Lines().end(), text));
}

// A session whose connect sends nothing: a PTP session marked offline.
// The loop and desktop a session window lives on.
struct Desk {
  platform::MessageLoop loop;
  platform::Desktop desktop{loop};
};

void MakeOffline(TBACnetForm& s) {
  TConnectionInfo info;
  info.Description = "Site";
  info.PanelType = 1;
  info.Offline = true;
  s.CopyInfo(info);
}

TEST(SessionViews, LogLineRoutesChannelsAndBoundsBothViews) {
  Desk d;
  TBACnetForm s(d.desktop);
  s.LogLine(nullptr, "frame", 0);
  s.LogLine(nullptr, "net", 1);
  s.LogLine(nullptr, "dev", 3);
  s.LogLine(nullptr, "other", 4);
  s.LogLine(nullptr, "neg", -1);
  EXPECT_EQ(s.TraceMemo.Lines(), (std::deque<std::string>{"frame"}));
  EXPECT_EQ(s.LogMemo.Lines(), (std::deque<std::string>{"net", "dev"}));

  s.TraceMemo.Clear();
  for (int i = 0; i < 1000; ++i) s.LogLine(nullptr, "t", 0);
  EXPECT_EQ(s.TraceMemo.Count(), 1000);
  s.LogLine(nullptr, "t", 0);  // the 1001st empties the view within the call
  EXPECT_EQ(s.TraceMemo.Count(), 0);

  // Unchecked: nothing is added, yet an overfull view is still emptied.
  for (int i = 0; i < 1001; ++i) s.LogMemo.Add("x");
  s.LogChk.Click();
  EXPECT_FALSE(s.LogChk.Checked);
  s.LogLine(nullptr, "dev", 3);
  EXPECT_EQ(s.LogMemo.Count(), 0);
  s.LogLine(nullptr, "dev", 3);
  EXPECT_EQ(s.LogMemo.Count(), 0);
}

TEST(SessionViews, LongLinesAreCutAndViewsAreBoundedBySize) {
  Desk d;
  TBACnetForm s(d.desktop);
  const std::string huge(100000, 'x');
  s.LogLine(nullptr, huge, 0);
  ASSERT_EQ(s.TraceMemo.Count(), 1);
  const std::string& kept = s.TraceMemo.Lines()[0];
  EXPECT_EQ(kept, std::string(kLogLineLimit, 'x') + "... (100000 characters)");
  // A cut never splits a UTF-8 character.
  std::string accented;
  while (accented.size() < kLogLineLimit + 10) accented += "\xC3\xA9";
  EXPECT_EQ(BoundedLogLine(accented).substr(0, kLogLineLimit), accented.substr(0, kLogLineLimit));
  std::string odd = "x" + accented;
  const std::string cut = BoundedLogLine(odd);
  EXPECT_EQ(cut.substr(0, cut.find("...")), odd.substr(0, kLogLineLimit - 1));

  // Lines within the limit stay whole, but the view empties before it holds 256 KB.
  s.TraceMemo.Clear();
  size_t most = 0;
  for (int i = 0; i < 900; ++i) {
    s.LogLine(nullptr, std::string(kLogLineLimit, 'y'), 0);
    most = std::max(most, s.TraceMemo.Bytes());
  }
  EXPECT_LE(most, 256u * 1024);
  EXPECT_LT(s.TraceMemo.Count(), 900);
  size_t sum = 0;
  for (const auto& l : s.TraceMemo.Lines()) sum += l.size();
  EXPECT_EQ(sum, s.TraceMemo.Bytes());
}

TEST(SessionSetUp, StoredSettingsAndWindow) {
  Desk d;
  TBACnetForm s(d.desktop);
  EXPECT_EQ(s.Caption, "BACnet Connection");
  EXPECT_TRUE(s.Visible());
  EXPECT_EQ(s.LogChk.Caption, "Log Enabled");
  EXPECT_TRUE(s.LogChk.Checked);
  EXPECT_EQ(s.Button1.Caption, "WhoIs");
  EXPECT_EQ(s.Button2.Caption, "WhoIsRouter");
  EXPECT_EQ(s.Stack.Device.App, &s.Stack.Application);
  EXPECT_EQ(s.Stack.Application.Network, &s.Stack.Network);
  EXPECT_EQ(s.Stack.Network.DataLink, nullptr);
  EXPECT_EQ(s.Stack.Network.NetworkNumber, 13689u);
  EXPECT_EQ(s.Stack.BIP.UDPPort(), 47808);
  EXPECT_EQ(s.Stack.PTP.BaudRate(), bacnet::br38400);
  EXPECT_EQ(s.Stack.Device.ObjectIdentifier(), 998);
  EXPECT_EQ(s.Stack.Device.ObjectName, "ZelBACnetServer");
  EXPECT_EQ(s.RediscoveryCountdown, 30);
  EXPECT_TRUE(s.Queue.CommandResult.IsText());
  EXPECT_EQ(PTPBaudRateFor(115200), bacnet::br9600);
  EXPECT_EQ(PTPBaudRateFor(57600), bacnet::br57600);
  EXPECT_EQ(PTPBaudRateFor(300), bacnet::br300);
}

TEST(SessionQueue, StartCommandSetPendingStateForRelease) {
  Desk d;
  TBACnetForm s(d.desktop);
  Client a, b;
  Variant params = Variant::MakeList({Variant("COMMAND=SITETIME")});
  s.Queue.SetError("old");
  EXPECT_TRUE(s.StartCommand(&a, kCommandSiteTime, params));
  EXPECT_EQ(s.Queue.StatusText, "Reading Site Time...");
  EXPECT_EQ(s.MessagePnl.Caption, "Reading Site Time...");
  EXPECT_EQ(s.Queue.PendingCommand, kCommandSiteTime);
  EXPECT_TRUE(s.Queue.CommandActive);
  EXPECT_EQ(s.Queue.OperationState, 1);
  EXPECT_EQ(s.Queue.ErrorText, "");
  EXPECT_EQ(s.Queue.Owner, &a);
  EXPECT_EQ(s.Queue.CommandParams, params);
  EXPECT_EQ(s.Queue.StateFor(&a), 1);
  EXPECT_EQ(s.Queue.StateFor(&b), -1);

  s.Queue.Release(&b);  // not the owner: nothing
  EXPECT_EQ(s.Queue.Owner, &a);

  s.Queue.SetPending(0);
  EXPECT_EQ(s.MessagePnl.Caption, "Idle");
  EXPECT_EQ(s.Queue.StatusText, "Reading Site Time...");  // only the panel says Idle
  EXPECT_FALSE(s.Queue.CommandActive);
  EXPECT_EQ(s.Queue.ResultHoldTicks, 150);
  s.Queue.Release(&a);
  EXPECT_EQ(s.Queue.Owner, nullptr);
  EXPECT_EQ(s.Queue.ResultHoldTicks, 0);
  EXPECT_EQ(s.Queue.OperationState, 0);
  EXPECT_EQ(s.Queue.StateFor(&b), 0);

  // Kinds without a worker change nothing.
  EXPECT_TRUE(s.StartCommand(&a, kCommandSendData, params));
  EXPECT_EQ(s.Queue.Owner, nullptr);
  EXPECT_EQ(s.Queue.PendingCommand, 0);
}

TEST(SessionQueue, TickRunsTheWorkerAndHoldsTheResult150Ticks) {
  Desk d;
  TBACnetForm s(d.desktop);
  Client a;
  int runs = 0;
  s.Workers[kCommandSiteStatus] = [&](TWorkerContext& f) {
    ++runs;
    Variant result = Variant::MakeList({Variant("X"), Variant("")});
    f.Queue.FinishCommand(true, {}, &result);
  };
  s.StartCommand(&a, kCommandSiteStatus, Variant());
  s.Tick();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Queue.StatusText, "");
  EXPECT_EQ(s.Queue.PendingCommand, 0);
  for (int i = 0; i < 149; ++i) s.Tick();
  EXPECT_EQ(s.Queue.Owner, &a);
  s.Tick();
  EXPECT_EQ(s.Queue.Owner, nullptr);
  EXPECT_EQ(s.Queue.OperationState, 0);
  EXPECT_EQ(runs, 1);
}

TEST(SessionQueue, WorkerThatThrowsStillEndsItsCommand) {
  Desk d;
  TBACnetForm s(d.desktop);
  Client a;
  int runs = 0;
  s.Workers[kCommandPointGetValue] = [&](TWorkerContext&) {
    ++runs;
    throw std::runtime_error("worker broke");
  };
  s.StartCommand(&a, kCommandPointGetValue, Variant());
  EXPECT_THROW(s.Tick(), std::runtime_error);
  EXPECT_EQ(s.Queue.OperationState, 3);
  EXPECT_EQ(s.Queue.ErrorText, "worker broke");
  EXPECT_EQ(s.Queue.PendingCommand, 0);
  s.Tick();
  EXPECT_EQ(runs, 1);
}

// A worker's outcome goes only to the command that produced it; nothing starts while it runs.
TEST(SessionQueue, OutcomeOfACommandThatLostItsOwnerIsDropped) {
  Desk d;
  TBACnetForm s(d.desktop);
  MakeOffline(s);
  Client a, b, c;
  Variant result = Variant::MakeList({Variant("VALUE=A"), Variant("")});
  std::function<void(TBACnetForm&)> meanwhile;
  s.Workers[kCommandPointGetValue] = [&](TWorkerContext& f) {
    meanwhile(s);
    f.Queue.FinishCommand(false, "A's failure", &result);
  };

  // The owner goes away while its worker waits.
  meanwhile = [&](TBACnetForm& f) {
    f.RemoveUser(&a);
    EXPECT_TRUE(f.Queue.CommandBusy());
    EXPECT_FALSE(f.StartCommand(&b, kCommandSiteStatus, Variant()));
    EXPECT_EQ(f.Queue.Owner, nullptr);
  };
  ASSERT_TRUE(s.StartCommand(&a, kCommandPointGetValue, Variant()));
  s.Tick();
  EXPECT_FALSE(s.Queue.CommandBusy());
  EXPECT_EQ(s.Queue.Owner, nullptr);
  EXPECT_EQ(s.Queue.OperationState, 0);
  EXPECT_EQ(s.Queue.ErrorText, "");
  EXPECT_EQ(s.Queue.ResultHoldTicks, 0);
  EXPECT_TRUE(s.Queue.CommandResult.IsText());
  EXPECT_EQ(s.MessagePnl.Caption, "Idle");
  ASSERT_TRUE(s.StartCommand(&b, kCommandSiteStatus, Variant()));
  EXPECT_EQ(s.Queue.PendingCommand, kCommandSiteStatus);  // b's own command, not overwritten
  s.Queue.Release(&b);
  s.Queue.PendingCommand = 0;
  s.Queue.CommandActive = false;

  // A connect takes the session over while the worker waits: its outcome stays the connect's,
  // and it is not dropped by a result hold.
  meanwhile = [&](TBACnetForm& f) { f.ConnectFor(&c); };
  ASSERT_TRUE(s.StartCommand(&a, kCommandPointGetValue, Variant()));
  s.Tick();
  EXPECT_EQ(s.Queue.Owner, &c);
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Queue.ErrorText, "");
  EXPECT_EQ(s.Queue.ResultHoldTicks, 0);
  for (int i = 0; i < 200; ++i) s.Tick();
  EXPECT_EQ(s.Queue.Owner, &c);
  EXPECT_EQ(s.Queue.StateFor(&c), 2);
}

TEST(SessionQueue, DisconnectQueuedOverARunningCommandRunsAfterIt) {
  Desk d;
  TBACnetForm s(d.desktop);
  TConnectionInfo info;
  info.PanelType = 7;  // no link: the disconnect cannot close anything and says so
  s.CopyInfo(info);
  Client a, b;
  s.Workers[kCommandSiteTime] = [&](TWorkerContext& f) {
    s.DisconnectFor(&b);
    Variant r = Variant::MakeList({Variant("SITETIME=x"), Variant("")});
    f.Queue.FinishCommand(true, {}, &r);
  };
  ASSERT_TRUE(s.StartCommand(&a, kCommandSiteTime, Variant()));
  s.Tick();
  EXPECT_EQ(s.Queue.PendingCommand, kCommandDisconnect);
  EXPECT_EQ(s.Queue.Owner, &b);
  EXPECT_EQ(s.Queue.OperationState, 1);
  EXPECT_EQ(s.Queue.StatusText, "Disconnecting...");
  s.Tick();
  EXPECT_EQ(s.Queue.PendingCommand, 0);
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Queue.ErrorText, "Could not disconnect from BACnet network.");
  EXPECT_TRUE(s.Queue.CommandResult.IsText());  // not the SITETIME result
  EXPECT_EQ(s.Queue.ResultHoldTicks, 150);
}

TEST(SessionQueue, ConnectDropsACommandQueuedButNotStarted) {
  Desk d;
  TBACnetForm s(d.desktop);
  MakeOffline(s);
  Client a, c;
  int runs = 0;
  s.Workers[kCommandSiteTime] = [&](TWorkerContext& f) {
    ++runs;
    f.Queue.FinishCommand(true);
  };
  ASSERT_TRUE(s.StartCommand(&a, kCommandSiteTime, Variant()));
  s.ConnectFor(&c);
  EXPECT_FALSE(s.Queue.CommandBusy());
  s.Tick();
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(s.Queue.Owner, &c);
  EXPECT_EQ(s.Queue.OperationState, 2);
}

TEST(SessionConnect, OfflinePTPConnectsAtOnceAndRediscoversOnce) {
  Desk d;
  TBACnetForm s(d.desktop);
  MakeOffline(s);
  Client a;
  s.Queue.SetError("stale");
  EXPECT_TRUE(s.ConnectFor(&a));
  EXPECT_TRUE(s.Offline);
  EXPECT_TRUE(s.Connected);
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Queue.ErrorText, "");
  EXPECT_EQ(s.Queue.Owner, &a);
  EXPECT_EQ(s.Stack.Network.DataLink, nullptr);  // nothing opened
  EXPECT_EQ(CountLines(s.LogMemo, "WhoIs"), 0);

  for (int i = 0; i < 29; ++i) s.Tick();
  EXPECT_EQ(CountLines(s.LogMemo, "***NONE***"), 0);
  s.Tick();
  EXPECT_EQ(CountLines(s.LogMemo, "***NONE***"), 1);
  EXPECT_EQ(CountLines(s.LogMemo, "IAmRouter"), 1);
  for (int i = 0; i < 100; ++i) s.Tick();
  EXPECT_EQ(CountLines(s.LogMemo, "***NONE***"), 1);
  EXPECT_EQ(s.RediscoveryCountdown, -1);

  // Offline disconnect is immediate too.
  EXPECT_TRUE(s.DisconnectFor(&a));
  EXPECT_FALSE(s.Connected);
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Queue.PendingCommand, 0);
}

TEST(SessionConnect, UnknownPanelTypeFailsAndDisconnectReportsIt) {
  Desk d;
  TBACnetForm s(d.desktop);
  TConnectionInfo info;
  info.PanelType = 7;
  s.CopyInfo(info);
  Client a;
  EXPECT_TRUE(s.ConnectFor(&a));
  EXPECT_FALSE(s.Connected);
  EXPECT_EQ(s.Queue.OperationState, 3);
  EXPECT_EQ(s.Queue.ErrorText, "Could not connect to BACnet network.");

  EXPECT_TRUE(s.DisconnectFor(&a));
  EXPECT_EQ(s.Queue.OperationState, 1);
  EXPECT_EQ(s.Queue.StatusText, "Disconnecting...");
  EXPECT_EQ(s.Queue.PendingCommand, kCommandDisconnect);
  s.Tick();
  // No link was ever attached: the session cannot say it closed anything.
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Queue.ErrorText, "Could not disconnect from BACnet network.");
  EXPECT_EQ(s.Queue.PendingCommand, 0);
}

TEST(SessionConnect, OfflineIsIgnoredForBACnetIP) {
  ZB_REQUIRE_PRIVATE_NETWORK();
  Desk d;
  TBACnetForm s(d.desktop);
  TConnectionInfo info;
  info.PanelType = 0;
  info.Offline = true;
  info.LocalHost = "192.0.2.1";  // not an address of this machine: the open fails, nothing sent
  s.CopyInfo(info);
  Client a;
  s.ConnectFor(&a);
  EXPECT_FALSE(s.Offline);
  EXPECT_EQ(s.Stack.Network.DataLink, &s.Stack.BIP);
  EXPECT_EQ(s.Stack.Device.APDUTimeout(), 3000);
  EXPECT_EQ(s.Stack.Device.ObjectIdentifier(), 135);
  EXPECT_EQ(s.Stack.Device.NetworkNumber, 13689);
  EXPECT_EQ(s.Stack.BIP.UDPPort(), 47808);
  EXPECT_EQ(s.Queue.OperationState, 3);
}

TEST(SessionConnect, WithoutALocalHostBindsWhereASiteCanReachItAndSaysSo) {
  test::TestNetwork net(1);
  if (!net.ok()) GTEST_SKIP() << net.error();
  Desk d;
  TBACnetForm s(d.desktop);
  TConnectionInfo info;
  info.PanelType = 0;
  s.CopyInfo(info);
  Client a;
  net.In(0, [&] { s.ConnectFor(&a); });
  EXPECT_TRUE(s.Connected);
  EXPECT_EQ(s.Stack.BIP.Socket().LocalHost(), "10.47.0.1");
  EXPECT_EQ(CountLines(s.LogMemo, "Bound to 10.47.0.1:47808"), 1);

  // Disconnected, the port is free again for another session.
  EXPECT_TRUE(s.DisconnectFor(&a));
  s.Tick();
  EXPECT_FALSE(s.Connected);
  EXPECT_FALSE(s.Stack.BIP.Socket().Active());
  TBACnetForm other(d.desktop);
  other.CopyInfo(info);
  Client b;
  net.In(0, [&] { other.ConnectFor(&b); });
  EXPECT_TRUE(other.Connected);
}

TEST(SessionConnect, RepeatedPTPConnectKeepsTheLine) {
  Desk d;
  TBACnetForm s(d.desktop);
  TConnectionInfo info;
  info.PanelType = 1;
  info.ComPort = 9;
  info.BaudRate = 115200;
  s.CopyInfo(info);
  // As after a first connect: the network already uses the PTP link and its line is up.
  s.Stack.Network.DataLink = &s.Stack.PTP;
  s.Stack.PTP.Active = true;
  s.Stack.PTP.Machines().ConnectionState = bacnet::csConnected;
  Client a;
  EXPECT_TRUE(s.ConnectFor(&a));
  EXPECT_TRUE(s.Connected);
  EXPECT_EQ(s.Queue.OperationState, 2);
  EXPECT_EQ(s.Stack.PTP.BaudRate(), bacnet::br38400);  // nothing re-applied
  EXPECT_EQ(CountLines(s.LogMemo, "WhoIs"), 1);
  EXPECT_EQ(CountLines(s.LogMemo, "IAmRouter"), 1);
}

TEST(SessionLifecycle, RefusesToCloseWhileConnectedAndTellsItsUsersWhenGone) {
  Desk d;
  auto s = std::make_unique<TBACnetForm>(d.desktop);
  MakeOffline(*s);
  Client a, b;
  s->AddUser(&a);
  s->AddUser(&b);
  s->AddUser(&a);
  EXPECT_EQ(s->UserCount(), 2);
  s->ConnectFor(&a);
  EXPECT_FALSE(s->Close());
  s->RemoveUser(&a);  // the owner leaves: its operation is released
  EXPECT_EQ(s->Queue.Owner, nullptr);
  EXPECT_EQ(s->UserCount(), 1);
  s->DisconnectFor(&b);
  EXPECT_TRUE(s->Close());
  TBACnetForm* raw = s.get();
  s.reset();
  EXPECT_EQ(b.gone, raw);
  EXPECT_EQ(a.gone, nullptr);
}

TEST(SessionCommands, KindsAndProgressTexts) {
  ASSERT_NE(FindCommand("POINTGETVALUE"), nullptr);
  EXPECT_EQ(FindCommand("POINTGETVALUE")->Kind, 14);
  EXPECT_STREQ(FindCommand("GETTRENDDATA")->Progress, "Reading Trend Data...");
  EXPECT_EQ(FindCommand("SENDDATA")->Progress, nullptr);
  EXPECT_EQ(FindCommand("sitetime"), nullptr);
  EXPECT_EQ(FindCommand("COMMANDSTATUS"), nullptr);
  EXPECT_EQ(ProgressText(kCommandDisconnect), nullptr);
  EXPECT_STREQ(ProgressText(kCommandSendPointsList), "Writing Data...");
}

TEST(ConnectionInfo, AssignCopiesEveryFieldOfTheSameClassOnly) {
  TConnectionInfo a;
  a.SpareFlag = true;
  a.Offline = true;
  a.DirectConnect = false;
  a.ComPort = 3;
  a.BaudRate = 19200;
  a.SpareText1 = "s1";
  a.DeviceType = "dt";
  a.Logon = "lg";
  a.ModemInit = "ATZ";
  a.Password = "pw";
  a.Description = "Site";
  a.PanelTypeName = "BACnet PTP";
  a.PanelTypeName2 = "BACnet PTP";
  a.PanelType = 1;
  a.DisconnectString = "bye";
  a.SpareText2 = "s2";
  a.SpareText3 = "s3";
  a.PhoneNumber = "555";
  a.ConnectString = "hi";
  a.ApduRetries = 1;
  a.ApduTimeoutMs = 4000;
  a.UDPPort = 47809;
  a.DeviceInstance = 77;
  a.LocalHost = "10.0.0.1";
  a.VirtualNetwork = 5;
  a.BBMD = "10.0.1.4";
  a.BBMDTimeToLive = 60;
  TConnectionInfo b;
  b.Assign(a);
  EXPECT_TRUE(b.SpareFlag && b.Offline && !b.DirectConnect);
  EXPECT_EQ(b.ComPort, 3);
  EXPECT_EQ(b.BaudRate, 19200);
  EXPECT_EQ(b.SpareText1 + b.DeviceType + b.Logon + b.ModemInit + b.Password, "s1dtlgATZpw");
  EXPECT_EQ(b.Description, "Site");
  EXPECT_EQ(b.PanelTypeName + "|" + b.PanelTypeName2, "BACnet PTP|BACnet PTP");
  EXPECT_EQ(b.PanelType, 1);
  EXPECT_EQ(b.DisconnectString + b.SpareText2 + b.SpareText3 + b.PhoneNumber + b.ConnectString,
            "byes2s3555hi");
  EXPECT_EQ(b.ApduRetries + b.ApduTimeoutMs + b.UDPPort + b.DeviceInstance + b.VirtualNetwork,
            1 + 4000 + 47809 + 77 + 5);
  EXPECT_EQ(b.LocalHost, "10.0.0.1");
  EXPECT_EQ(b.BBMD + ":" + std::to_string(b.BBMDTimeToLive), "10.0.1.4:60");

  struct Other : TConnectionInfo {};
  Other o;
  o.Description = "other";
  b.Assign(o);
  EXPECT_EQ(b.Description, "Site");
  EXPECT_EQ(PanelTypeName(0), "BACnet/IP");
  EXPECT_EQ(PanelTypeName2(1), "BACnet PTP");
  EXPECT_EQ(PanelTypeName(2), "");
  EXPECT_EQ(PanelTypeName(-1), "");
}

}  // namespace
}  // namespace zb
