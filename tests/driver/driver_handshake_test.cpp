// The host protocol through a real socket: driver objects created and called over the host
// connection, the driver window's timer on the manual clock.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>

#include "driver/main_form.h"
#include "driver/server_driver.h"
#include "platform/host_connection.h"
#include "session/command_kinds.h"
#include "tests/common/host_client.h"

namespace zb {
namespace {

using Texts = std::vector<std::string>;

const Texts kOfflineSite = {"DESCRIPTION=Site", "PANELTYPE=1", "OFFLINE=TRUE"};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock.auto_advance = false;
    clock.real_wait_ms = 2;
    loop.SetClock(&clock);
    main = std::make_unique<TMainForm>(desktop);
    main->ObjectCount = [this] { return host->ObjectCount(); };
    main->OnExit = [this] { exited = true; };
    host = std::make_unique<platform::HostConnection>(loop, desktop);
    TMainForm* form = main.get();
    host->RegisterClass({kDriverProgId, kDriverClassId,
                         [form] { return std::make_unique<TZelBACnetServerDriver>(*form); }});
  }
  void TearDown() override {
    host.reset();
    main.reset();
    loop.ProcessMessages();
    loop.SetClock(nullptr);
  }
  std::unique_ptr<test::HostClient> Host() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    host->Adopt(sv[0]);
    auto h = std::make_unique<test::HostClient>(sv[1]);
    h->loop = &loop;
    return h;
  }
  // A created, armed object.
  int Armed(test::HostClient& h) {
    int o = h.Create();
    EXPECT_GT(o, 0);
    EXPECT_TRUE(h.CallBool(o, "Configure", {"VERSIONCHECK=1.7"}));
    return o;
  }
  Texts Poll(test::HostClient& h, int o) {
    return h.CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"});
  }
  void Ticks(int n) { loop.AdvanceClock(100 * n); }
  // Every queued command of the session finishes on its next tick with [R=<kind>, ""].
  void ScriptWorkers(TBACnetForm& s) {
    for (auto& [kind, worker] : s.Workers) {
      if (kind == kCommandDisconnect) continue;
      worker = [this, k = kind](TWorkerContext& f) {
        ++worker_runs;
        Variant r = Variant::MakeList({Variant("R=" + std::to_string(k)), Variant("")});
        f.Queue.FinishCommand(true, {}, &r);
      };
    }
  }

  platform::MessageLoop loop;
  platform::Desktop desktop{loop};
  platform::ManualClock clock;
  std::unique_ptr<TMainForm> main;
  std::unique_ptr<platform::HostConnection> host;
  bool exited = false;
  int worker_runs = 0;
};

TEST_F(DriverTest, VersionCheckArmsTheObject) {
  auto h = Host();
  int o = h->Create();
  ASSERT_EQ(o, 1);
  EXPECT_FALSE(h->CallBool(o, "Connect", kOfflineSite));
  EXPECT_EQ(main->SessionRegistry.size(), 0u);
  EXPECT_FALSE(h->CallBool(o, "Configure", {"VERSIONCHECK=1.71"}));
  EXPECT_FALSE(h->CallBool(o, "Configure", {"VERSIONCHECK=1.69"}));
  EXPECT_TRUE(h->CallBool(o, "Configure", {"VERSIONCHECK=abc"}));  // not a real: nothing changes
  EXPECT_TRUE(h->CallBool(o, "Configure", {}));
  EXPECT_FALSE(h->CallBool(o, "Connect", kOfflineSite));
  EXPECT_TRUE(h->CallBool(o, "Configure", {"VERSIONCHECK=1.708"}));
  EXPECT_TRUE(h->CallBool(o, "Connect", kOfflineSite));

  // A single text is a list of one.
  int p = h->Create();
  platform::Json r = h->AskJson(R"({"id":9,"op":"call","object":)" + std::to_string(p) +
                                R"(,"method":"Configure","params":"VERSIONCHECK=1.70"})");
  ASSERT_NE(r.Find("result"), nullptr);
  EXPECT_TRUE(r.Find("result")->AsBool());
  EXPECT_TRUE(h->CallBool(p, "Connect", {"DESCRIPTION=Other", "PANELTYPE=1", "OFFLINE=TRUE"}));
}

TEST_F(DriverTest, DebugModeShowsHidesAndDoesNotArm) {
  auto h = Host();
  int o = h->Create();
  EXPECT_FALSE(main->Visible());
  EXPECT_TRUE(h->CallBool(o, "Configure", {"DEBUGMODE=true", "VERSIONCHECK=1.7"}));
  EXPECT_TRUE(main->Visible());
  EXPECT_FALSE(h->CallBool(o, "Connect", kOfflineSite));  // VERSIONCHECK was not looked at
  EXPECT_TRUE(h->CallBool(o, "Configure", {"DEBUGMODE=Toggle"}));
  EXPECT_FALSE(main->Visible());
  EXPECT_TRUE(h->CallBool(o, "Configure", {"DEBUGMODE=TOGGLE"}));
  EXPECT_TRUE(main->Visible());
  EXPECT_TRUE(h->CallBool(o, "Configure", {"DEBUGMODE=maybe"}));
  EXPECT_TRUE(main->Visible());
  EXPECT_TRUE(h->CallBool(o, "Configure", {"DEBUGMODE=FALSE"}));
  EXPECT_FALSE(main->Visible());
}

TEST_F(DriverTest, ConnectResultIsCollectedByPolling) {
  auto h = Host();
  int o = Armed(*h);
  ASSERT_TRUE(h->CallBool(o, "Connect", kOfflineSite));
  EXPECT_EQ(Poll(*h, o), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(Poll(*h, o), (Texts{"COMMANDSTATUS=FALSE", ""}));  // nothing pending any more
  EXPECT_EQ(h->CallTexts(o, "Execute", {"COMMAND=NOSUCH"}), (Texts{"COMMANDSTATUS=FALSE", ""}));
  // SENDDATA is recognised but starts nothing.
  EXPECT_EQ(h->CallTexts(o, "Execute", {"COMMAND=SENDDATA"}), (Texts{"COMMANDSTATUS=", ""}));
  TBACnetForm* s = main->FindSession("Site");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Queue.Owner, nullptr);
  EXPECT_EQ(s->Queue.PendingCommand, 0);
  // Disconnect of the offline session is done at once, collected the same way.
  EXPECT_TRUE(h->CallBool(o, "Disconnect", {}));
  EXPECT_EQ(Poll(*h, o), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_FALSE(s->Connected);
}

TEST_F(DriverTest, FailedConnectReportsItsError) {
  auto h = Host();
  int o = Armed(*h);
  ASSERT_TRUE(h->CallBool(o, "Connect", {"DESCRIPTION=Bad", "PANELTYPE=7"}));
  TBACnetForm* s = main->FindSession("Bad");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Info.PanelTypeName, "");
  Ticks(200);  // the outcome of a connect is kept until the connecting object polls
  EXPECT_EQ(Poll(*h, o),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not connect to BACnet network."}));
  // The error text stays behind for later answers.
  EXPECT_EQ(h->CallTexts(o, "Execute", {"COMMAND=SITETIME2"}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not connect to BACnet network."}));
}

TEST_F(DriverTest, SecondObjectWaitsUntilTheResultIsCollected) {
  auto h = Host();
  int a = Armed(*h);
  int b = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  ASSERT_TRUE(h->CallBool(b, "Connect", {"DESCRIPTION=SITE", "PANELTYPE=1", "OFFLINE=TRUE"}));
  EXPECT_EQ(main->SessionRegistry.size(), 1u);
  EXPECT_EQ(main->ConnectionsPnl.Caption, "1 Connection");
  TBACnetForm* s = main->FindSession("site");
  ASSERT_NE(s, nullptr);
  ScriptWorkers(*s);
  EXPECT_EQ(Poll(*h, b)[0], "COMMANDSTATUS=TRUE");  // b's connect took the session over last

  EXPECT_EQ(h->CallTexts(a, "Execute", {"COMMAND=SITETIME"}),
            (Texts{"COMMANDSTATUS=Reading Site Time...", ""}));
  EXPECT_EQ(h->CallTexts(b, "Execute", {"COMMAND=SITESTATUS"}),
            (Texts{"COMMANDSTATUS=Waiting for driver...", ""}));
  EXPECT_EQ(Poll(*h, b), (Texts{"COMMANDSTATUS=Waiting for driver...", ""}));
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=Reading Site Time...", ""}));
  // A new command of the owner while its own is pending does not replace it.
  EXPECT_EQ(h->CallTexts(a, "Execute", {"COMMAND=POINTGETVALUE", "POINT={a}{2-AIN#1}"}),
            (Texts{"COMMANDSTATUS=Waiting for driver...", ""}));
  EXPECT_EQ(s->Queue.PendingCommand, kCommandSiteTime);

  Ticks(1);
  EXPECT_EQ(worker_runs, 1);
  EXPECT_EQ(Poll(*h, b), (Texts{"COMMANDSTATUS=Waiting for driver...", ""}));
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "R=4", ""}));
  EXPECT_EQ(h->CallTexts(b, "Execute", {"COMMAND=SITESTATUS"}),
            (Texts{"COMMANDSTATUS=Reading Site Status...", ""}));
}

TEST_F(DriverTest, UncollectedResultIsDroppedAfter150Ticks) {
  auto h = Host();
  int a = Armed(*h);
  int b = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  ASSERT_TRUE(h->CallBool(b, "Connect", kOfflineSite));
  Poll(*h, b);
  TBACnetForm* s = main->FindSession("Site");
  ScriptWorkers(*s);
  h->CallTexts(a, "Execute", {"COMMAND=GETALARMS"});
  Ticks(1);  // the worker finishes on this tick
  Ticks(149);
  EXPECT_EQ(h->CallTexts(b, "Execute", {"COMMAND=SITETIME"}),
            (Texts{"COMMANDSTATUS=Waiting for driver...", ""}));
  Ticks(1);
  EXPECT_EQ(s->Queue.Owner, nullptr);
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=FALSE", ""}));
  EXPECT_EQ(h->CallTexts(b, "Execute", {"COMMAND=SITETIME"}),
            (Texts{"COMMANDSTATUS=Reading Site Time...", ""}));
}

TEST_F(DriverTest, SiteTimeAnswersFiveElements) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  EXPECT_EQ(h->CallTexts(a, "Execute", {"COMMAND=SITETIME"}),
            (Texts{"COMMANDSTATUS=Reading Site Time...", ""}));
  Ticks(1);
  Texts r = Poll(*h, a);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(r[1], "COMMAND=COMMANDSTATUS");
  EXPECT_EQ(r[2], "");
  EXPECT_EQ(r[3].rfind("SITETIME=", 0), 0u) << r[3];
  EXPECT_EQ(r[4], "");
}

TEST_F(DriverTest, ResultListsOfEveryShape) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  TBACnetForm* s = main->FindSession("Site");
  // An empty result list: three elements, no results.
  s->Workers[kCommandGetPointsList] = [](TWorkerContext& f) {
    Variant r = Variant::MakeList({});
    f.Queue.FinishCommand(true, {}, &r);
  };
  // A failure with its message.
  s->Workers[kCommandPointGetValue] = [](TWorkerContext& f) {
    f.Queue.FinishCommand(false, "Could not read data from panel.");
  };
  // Done, but with an error text (as a failed disconnect or a broken trend read).
  s->Workers[kCommandGetTrendData] = [](TWorkerContext& f) {
    f.Queue.SetError("partial");
    Variant r = Variant::MakeList({Variant::MakeOctets(std::string("\x01\x02", 2))});
    f.Queue.FinishCommand(true, {}, &r);
  };
  h->CallTexts(a, "Execute", {"COMMAND=GETPOINTSLIST"});
  Ticks(1);
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", ""}));
  h->CallTexts(a, "Execute", {"COMMAND=POINTGETVALUE"});
  Ticks(1);
  EXPECT_EQ(Poll(*h, a),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));
  h->CallTexts(a, "Execute", {"COMMAND=GETTRENDDATA"});
  Ticks(1);
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS",
                                "COMMANDERROR=partial", R"({"octets":"0102"})"}));
}

TEST_F(DriverTest, WithoutSessionAndImmediateCommands) {
  auto h = Host();
  int o = Armed(*h);
  Texts failed = {"COMMANDSTATUS=FALSE", "", ""};
  EXPECT_EQ(h->CallTexts(o, "Execute", {"COMMAND=SITETIME"}), failed);
  EXPECT_EQ(h->CallTexts(o, "ExecuteImmediate", {"COMMAND=SENDPOINTSLIST"}), failed);
  EXPECT_FALSE(h->CallBool(o, "Disconnect", {}));
  ASSERT_TRUE(h->CallBool(o, "Connect", kOfflineSite));
  EXPECT_EQ(h->CallTexts(o, "ExecuteImmediate",
                         {"COMMAND=SENDPOINTSLIST", "POINT0={a}{2-AIN#1}{x}{y}",
                          "POINT1={b}{2-AIN#1}{x}{y}"}),
            (Texts{"COMMANDSTATUS=TRUE", "", ""}));
  EXPECT_EQ(main->FindSession("Site")->Points.PointTable.Count(), 1);
  EXPECT_EQ(h->CallTexts(o, "ExecuteImmediate", {"COMMAND=GETPOINTSLIST"}), failed);
  // ExecuteImmediate leaves the connect's result for its owner to collect.
  EXPECT_EQ(Poll(*h, o)[0], "COMMANDSTATUS=TRUE");
}

TEST_F(DriverTest, MalformedParameterListsNeverRaise) {
  auto h = Host();
  int o = Armed(*h);
  // An element that does not convert to text stops the lookup; the operation answers false.
  auto call = [&](const std::string& method, const std::string& params) {
    return h->Ask(R"({"id":1,"op":"call","object":)" + std::to_string(o) + R"(,"method":")" +
                  method + R"(","params":)" + params + "}");
  };
  EXPECT_EQ(call("Connect", R"([["nested"],"DESCRIPTION=X"])"), R"({"id":1,"result":false})");
  EXPECT_EQ(call("Configure", R"([{"octets":"00"}])"), R"({"id":1,"result":false})");
  EXPECT_EQ(call("Connect", R"(["DESCRIPTION=Site","PANELTYPE=1","OFFLINE=TRUE"])"),
            R"({"id":1,"result":true})");
  Poll(*h, o);
  EXPECT_EQ(call("Execute", R"([[1],"COMMAND=SITETIME"])"),
            R"({"id":1,"result":["COMMANDSTATUS=FALSE","",""]})");
  EXPECT_EQ(call("Execute", "null"), R"({"id":1,"result":["COMMANDSTATUS=FALSE",""]})");
  EXPECT_EQ(call("Execute", "12"), R"({"id":1,"result":["COMMANDSTATUS=FALSE",""]})");
  EXPECT_EQ(call("Frobnicate", "[]"), R"({"id":1,"error":"unknown method: Frobnicate"})");
}

TEST_F(DriverTest, ConnectionParametersAreReadOnceAndKeptBySession) {
  TZelBACnetServerDriver d(*main);
  d.Configure(Variant("VERSIONCHECK=1.7"));
  ASSERT_TRUE(d.Connect(Variant::MakeList({Variant("DESCRIPTION=Site"),
                                           Variant("PANELTYPE=1"),
                                           Variant("OFFLINE=TRUE"),
                                           Variant("CONNECTIONTYPE=modem"),
                                           Variant("COMPORT=3"),
                                           Variant("BAUDRATE=19200"),
                                           Variant("SP1=hello"),
                                           Variant("SP2=bye"),
                                           Variant("SP3=ATZ"),
                                           Variant("SP4=10.0.0.9"),
                                           Variant("PHONENUMBER=555"),
                                           Variant("PASSWORD="),
                                           Variant("IP1=47809"),
                                           Variant("IP2=77"),
                                           Variant("IP3=4000"),
                                           Variant("FP1=2.9"),
                                           Variant("LOGON=me"),
                                           Variant("DEVICETYPE=dt"),
                                           Variant("BBMD=bbmd.site:47809"),
                                           Variant("BBMDTTL=600")})));
  const TConnectionInfo& ci = d.ConnectionInfo;
  EXPECT_EQ(ci.BBMD, "bbmd.site:47809");
  EXPECT_EQ(ci.BBMDTimeToLive, 600);
  EXPECT_TRUE(ci.DirectConnect);  // only MODEM in capitals selects the modem
  EXPECT_TRUE(ci.Offline);
  EXPECT_EQ(ci.ComPort, 3);
  EXPECT_EQ(ci.BaudRate, 19200);
  EXPECT_EQ(ci.ConnectString, "hello");
  EXPECT_EQ(ci.DisconnectString, "bye");
  EXPECT_EQ(ci.ModemInit, "ATZ");
  EXPECT_EQ(ci.LocalHost, "10.0.0.9");
  EXPECT_EQ(ci.PhoneNumber, "555");
  EXPECT_EQ(ci.UDPPort, 47809);
  EXPECT_EQ(ci.DeviceInstance, 77);
  EXPECT_EQ(ci.ApduTimeoutMs, 4000);
  EXPECT_EQ(ci.ApduRetries, 1);
  EXPECT_EQ(ci.VirtualNetwork, 2);
  EXPECT_EQ(ci.Logon, "me");
  EXPECT_EQ(ci.DeviceType, "dt");
  EXPECT_EQ(ci.PanelTypeName, "BACnet PTP");
  ASSERT_NE(d.Session, nullptr);
  EXPECT_EQ(d.Session->Info.UDPPort, 47809);

  ASSERT_TRUE(d.Connect(Variant::MakeList({Variant("DESCRIPTION=SITE"), Variant("PANELTYPE=1"),
                                           Variant("CONNECTIONTYPE=MODEM"), Variant("IP1=1")})));
  EXPECT_FALSE(d.ConnectionInfo.DirectConnect);
  EXPECT_EQ(d.Session->Info.UDPPort, 47809);  // the session keeps what it was created with
  EXPECT_EQ(main->SessionRegistry.size(), 1u);
}

TEST_F(DriverTest, SharedSessionOutlivesTheObjectThatReleasesIt) {
  auto h = Host();
  int a = Armed(*h);
  int b = Armed(*h);
  // A session that did not connect may close once nobody uses it.
  ASSERT_TRUE(h->CallBool(a, "Connect", {"DESCRIPTION=Site", "PANELTYPE=7"}));
  ASSERT_TRUE(h->CallBool(b, "Connect", {"DESCRIPTION=Site", "PANELTYPE=7"}));
  TBACnetForm* s = main->FindSession("Site");
  EXPECT_EQ(s->UserCount(), 2);
  EXPECT_TRUE(h->Release(b));  // b was the owner
  loop.ProcessMessages();
  ASSERT_EQ(main->FindSession("Site"), s);
  EXPECT_EQ(s->Queue.Owner, nullptr);
  EXPECT_EQ(h->CallTexts(a, "Execute", {"COMMAND=SENDDATA"}), (Texts{"COMMANDSTATUS=", ""}));
  EXPECT_TRUE(h->Release(a));
  loop.ProcessMessages();
  EXPECT_EQ(main->FindSession("Site"), nullptr);
  EXPECT_EQ(main->ConnectionsPnl.Caption, "0 Connections");
  EXPECT_TRUE(main->Children().empty());

  // A connected session stays, even with no object left.
  int c = Armed(*h);
  ASSERT_TRUE(h->CallBool(c, "Connect", kOfflineSite));
  EXPECT_TRUE(h->Release(c));
  loop.ProcessMessages();
  EXPECT_NE(main->FindSession("Site"), nullptr);
}

TEST_F(DriverTest, HostThatDisconnectsMidCommand) {
  auto h = Host();
  auto other = Host();
  int a = Armed(*h);
  int b = Armed(*other);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  ASSERT_TRUE(other->CallBool(b, "Connect", kOfflineSite));
  Poll(*other, b);
  TBACnetForm* s = main->FindSession("Site");
  bool saw_owner_gone = false;
  s->Workers[kCommandSiteTime] = [&](TWorkerContext& f) {
    // Waits on the loop like a BACnet request; the host goes away meanwhile.
    for (int i = 0; i < 1000 && host->ObjectCount() > 1; ++i) loop.WaitAndProcess(5);
    saw_owner_gone = f.Queue.Owner == nullptr;
    Variant r = Variant::MakeList({Variant("SITETIME=x"), Variant("")});
    f.Queue.FinishCommand(true, {}, &r);
  };
  EXPECT_EQ(h->CallTexts(a, "Execute", {"COMMAND=SITETIME"})[0],
            "COMMANDSTATUS=Reading Site Time...");
  h->Close();
  Ticks(1);
  EXPECT_TRUE(saw_owner_gone);
  EXPECT_EQ(host->ObjectCount(), 1);
  EXPECT_EQ(host->ClientCount(), 1);
  // The result has no owner; the remaining host is not blocked by it.
  EXPECT_EQ(other->CallTexts(b, "Execute", {"COMMAND=SENDDATA"}), (Texts{"COMMANDSTATUS=", ""}));
}

// The outcome of a connect waits for its object's poll; the hold of an earlier, uncollected
// result does not drop it.
TEST_F(DriverTest, ConnectOutcomeOutlivesTheHoldOfAnEarlierResult) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  ScriptWorkers(*main->FindSession("Site"));
  EXPECT_EQ(h->CallTexts(a, "Execute", {"COMMAND=POINTVERIFY", "POINT={x}{2-AIN#1}"})[0],
            "COMMANDSTATUS=Verifying Point Name...");
  Ticks(1);  // done, not collected
  Ticks(20);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Ticks(140);
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(worker_runs, 1);
}

TEST_F(DriverTest, SessionFreedWhileAnotherSessionsTickWaits) {
  auto h = Host();
  int a = Armed(*h);
  int b = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  ASSERT_TRUE(h->CallBool(b, "Connect", {"DESCRIPTION=Doomed", "PANELTYPE=7"}));
  TBACnetForm* s = main->FindSession("Site");
  ASSERT_NE(main->FindSession("Doomed"), nullptr);
  s->Workers[kCommandSiteTime] = [&](TWorkerContext& f) {
    // While this worker waits, the other session loses its last object and is freed.
    h->Write(R"({"id":50,"op":"release","object":)" + std::to_string(b) + "}\n");
    for (int i = 0; i < 400 && main->Children().size() > 1; ++i) loop.WaitAndProcess(5);
    f.Queue.FinishCommand(true);
  };
  h->CallTexts(a, "Execute", {"COMMAND=SITETIME"});
  Ticks(1);  // Site ticks first, Doomed would be next
  EXPECT_EQ(main->Children().size(), 1u);
  EXPECT_EQ(main->FindSession("Doomed"), nullptr);
  EXPECT_EQ(h->ReadLine(), R"({"id":50,"released":true})");
  Ticks(2);
}

TEST_F(DriverTest, PollsAreServedInsideAWaitingWorkerAndTheTimerDoesNotReenter) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  TBACnetForm* s = main->FindSession("Site");
  int ticks_inside = 0;
  int depth = 0, max_depth = 0;
  std::string seen;
  s->Workers[kCommandPointGetValue] = [&](TWorkerContext& f) {
    ++depth;
    max_depth = std::max(max_depth, depth);
    // The host polls while the worker waits; time passes far beyond the next tick.
    h->Write(
        R"({"id":77,"op":"call","object":1,"method":"Execute","params":["COMMAND=COMMANDSTATUS"]})"
        "\n");
    for (int i = 0; i < 200 && host->ClientCount() == 1 && seen.empty(); ++i) {
      loop.AdvanceClock(100);
      loop.WaitAndProcess(5);
      seen = h->ReadLine(1);
    }
    ticks_inside = s->RediscoveryCountdown;
    --depth;
    Variant r = Variant::MakeList({Variant("VALUE=1"), Variant("")});
    f.Queue.FinishCommand(true, {}, &r);
  };
  h->CallTexts(a, "Execute", {"COMMAND=POINTGETVALUE", "POINT={x}{2-AIN#1}"});
  int before = s->RediscoveryCountdown;
  Ticks(1);
  EXPECT_EQ(seen, R"({"id":77,"result":["COMMANDSTATUS=Reading Point Value...",""]})");
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(ticks_inside, before - 1);  // no session tick ran inside the worker's tick
  EXPECT_TRUE(main->ProcessTimer.Enabled());
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "VALUE=1", ""}));
}

TEST_F(DriverTest, ExceptionInATickIsShownAndTheTimerGoesOn) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  TBACnetForm* s = main->FindSession("Site");
  s->Workers[kCommandSiteStatus] = [](TWorkerContext&) { throw std::runtime_error("tick failed"); };
  h->CallTexts(a, "Execute", {"COMMAND=SITESTATUS"});
  Ticks(1);
  EXPECT_EQ(main->MessagePnl.Caption, "tick failed");
  EXPECT_TRUE(main->ProcessTimer.Enabled());
  EXPECT_EQ(Poll(*h, a), (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=tick failed"}));
  int before = s->RediscoveryCountdown;
  Ticks(1);
  EXPECT_EQ(s->RediscoveryCountdown, before - 1);
}

TEST_F(DriverTest, ALongTickKeepsTheTimersCadence) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  Poll(*h, a);
  TBACnetForm* s = main->FindSession("Site");
  s->Workers[kCommandSiteTime] = [&](TWorkerContext& f) {
    clock.Set(clock.NowMs() + 60);  // this tick runs for 60 ms
    f.Queue.FinishCommand(true);
  };
  h->CallTexts(a, "Execute", {"COMMAND=SITETIME"});
  const int before = s->RediscoveryCountdown;
  Ticks(1);
  EXPECT_EQ(s->RediscoveryCountdown, before - 1);
  loop.AdvanceClock(40);  // 100 ms after the long tick began, not 100 ms after it ended
  EXPECT_EQ(s->RediscoveryCountdown, before - 2);
  loop.AdvanceClock(99);
  EXPECT_EQ(s->RediscoveryCountdown, before - 2);
  loop.AdvanceClock(1);
  EXPECT_EQ(s->RediscoveryCountdown, before - 3);
}

TEST_F(DriverTest, FailingClickIsShownInTheStatusPanel) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  TBACnetForm* s = main->FindSession("Site");
  s->Button1.OnClick = [] { throw std::runtime_error("click failed"); };
  EXPECT_EQ(h->Ask(R"({"id":1,"op":"press","window":)" + std::to_string(s->Handle()) +
                   R"(,"control":"Button1"})"),
            R"({"id":1,"pressed":true})");
  loop.ProcessMessages();
  EXPECT_EQ(main->MessagePnl.Caption, "click failed");
}

TEST_F(DriverTest, HideKeepsSessionsAndExitAsksWhileObjectsLive) {
  auto h = Host();
  int a = Armed(*h);
  ASSERT_TRUE(h->CallBool(a, "Configure", {"DEBUGMODE=TRUE"}));
  ASSERT_TRUE(h->CallBool(a, "Connect", kOfflineSite));
  TBACnetForm* s = main->FindSession("Site");
  s->LogLine(nullptr, "kept", 3);
  main->Hide1.Click();
  EXPECT_FALSE(main->Visible());
  main->Show();
  main->HideBtn.Click();
  EXPECT_FALSE(main->Visible());
  EXPECT_EQ(main->HideBtn.Hint, "Hide Driver");
  ASSERT_TRUE(h->CallBool(a, "Configure", {"DEBUGMODE=TRUE"}));
  EXPECT_EQ(main->FindSession("Site"), s);
  EXPECT_EQ(s->LogMemo.Lines().back(), "kept");

  EXPECT_EQ(ExitConfirmationText(),
            "There are still active COM objects in this application.  One or more clients may "
            "have references to these objects, so manually closing this application may cause "
            "those client application(s) to fail.\n\nAre you sure you want to close this "
            "application?");
  // A person watching answers no: the window stays.
  bool asked = false;
  struct Person : platform::WindowViewer {
    bool watching = true;
    bool PersonWatching() const override { return watching; }
  } person;
  desktop.AddViewer(person);
  loop.Post([&] {
    const platform::ConfirmationRequest* q = desktop.PendingQuestion();
    asked = q && q->Caption == "COM Server Warning" && q->Text == ExitConfirmationText();
    if (q) desktop.Answer(q->Id, false);
  });
  EXPECT_FALSE(main->Exit());
  EXPECT_TRUE(asked);
  EXPECT_FALSE(exited);
  // Nobody watching: it proceeds.
  person.watching = false;
  EXPECT_TRUE(main->Exit());
  EXPECT_TRUE(exited);
}

}  // namespace
}  // namespace zb
