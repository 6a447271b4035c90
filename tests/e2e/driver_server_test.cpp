// The driver server as a process: its life cycle, its socket, bad host input, registration, the
// host tool, and a BACnet/IP session inside private network namespaces watched by an
// independent peer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "platform/json.h"
#include "tests/common/host_client.h"
#include "tests/common/netns.h"
#include "tests/common/peer.h"
#include "tests/common/udp_probe.h"
#include "tests/e2e/server_process.h"

namespace zb::test {
namespace {

using Texts = std::vector<std::string>;

#define ZB_START_SERVER(server, ...)                                                             \
  ServerProcess server;                                                                          \
  if (access(ServerBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "build zelbacnet-server first"; \
  ASSERT_TRUE(server.Start(__VA_ARGS__)) << server.Log()

HostClient* Connected(HostClient& h, const ServerProcess& s) {
  h.loop = nullptr;  // the server is another process
  EXPECT_TRUE(h.Connect(s.socket()));
  return &h;
}

TEST(DriverServer, AutomationEndsWhenTheHostReleasesItsLastObject) {
  ZB_START_SERVER(server, {"--automation"});
  struct stat st {};
  ASSERT_EQ(stat(server.socket().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  HostClient h;
  Connected(h, server);
  int a = h.Create();
  int b = h.Create();
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_TRUE(h.CallBool(a, "Configure", {"VERSIONCHECK=1.7"}));
  EXPECT_TRUE(h.Release(a));
  EXPECT_TRUE(server.Running());  // one object left
  EXPECT_TRUE(h.Release(b));
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
  EXPECT_NE(stat(server.socket().c_str(), &st), 0);  // the socket goes with it
}

TEST(DriverServer, HostThatDiesMidCommandReleasesItsObjects) {
  ZB_START_SERVER(server, {"--automation"});
  HostClient h;
  Connected(h, server);
  int a = h.Create();
  ASSERT_TRUE(h.CallBool(a, "Configure", {"VERSIONCHECK=1.7"}));
  ASSERT_TRUE(h.CallBool(a, "Connect", {"DESCRIPTION=Lab", "PANELTYPE=1", "OFFLINE=TRUE"}));
  EXPECT_EQ(h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"})[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(h.CallTexts(a, "Execute", {"COMMAND=SITESTATUS"})[0],
            "COMMANDSTATUS=Reading Site Status...");
  h.Close();  // gone without releasing anything
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
}

TEST(DriverServer, ByHandItRunsUntilExitAndSurvivesBadInput) {
  ZB_START_SERVER(server, {});
  HostClient h;
  Connected(h, server);
  EXPECT_EQ(
      h.Ask("{{{"),
      R"({"id":null,"error":"malformed JSON: at octet 2: unexpected '{'; expected string literal"})");
  EXPECT_EQ(h.Ask(R"({"id":5,"op":"create","progid":"Other.Thing"})"),
            R"({"id":5,"error":"class not registered: Other.Thing"})");
  EXPECT_EQ(
      h.Ask(std::string("\"\xff\"")),
      R"({"id":null,"error":"malformed JSON: at octet 2: invalid string: ill-formed UTF-8 byte"})");
  // Well-formed but with a character that has no octet form: refused, naming the request.
  EXPECT_EQ(h.Ask(R"({"id":6,"op":"create","progid":"\u20ac"})"),
            R"({"id":6,"error":"character outside Latin-1 in string"})");
  EXPECT_EQ(h.Ask("{\"id\":\"\xE2\x82\xAC\",\"op\":\"create\"}"),
            R"({"id":null,"error":"character outside Latin-1 in string"})");
  h.Write(std::string(2 << 20, 'x') + "\n");  // beyond the line limit
  EXPECT_EQ(h.ReadLine(), R"({"id":null,"error":"line too long"})");
  // Both directions carry 8-bit text unchanged.
  int a = h.Create();
  ASSERT_TRUE(h.CallBool(a, "Configure", {"VERSIONCHECK=1.7"}));
  ASSERT_TRUE(
      h.CallBool(a, "Connect", {"DESCRIPTION=Caf\xE9 \x01", "PANELTYPE=1", "OFFLINE=TRUE"}));
  h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"});
  h.CallTexts(a, "Execute", {"COMMAND=SITESTATUS"});
  Texts r;
  for (int i = 0; i < 50; ++i) {
    r = h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"});
    if (r[0] != "COMMANDSTATUS=Reading Site Status...") break;
    usleep(50000);
  }
  ASSERT_GE(r.size(), 5u);
  EXPECT_EQ(r[3], "Caf\xE9 \x01");
  EXPECT_TRUE(h.Release(a));
  usleep(200000);
  EXPECT_TRUE(server.Running());  // not started by automation: releasing does not end it

  // SIGTERM counts as Exit; with an object alive and nobody watching it proceeds.
  int b = h.Create();
  ASSERT_GT(b, 0);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
}

TEST(DriverServer, ExitAsksThePersonWatching) {
  ZB_START_SERVER(server, {});
  HostClient h, person;
  Connected(h, server);
  Connected(person, server);
  int a = h.Create();
  ASSERT_GT(a, 0);
  EXPECT_EQ(person.Ask(R"({"id":1,"op":"watch"})"), R"({"id":1,"watching":true})");
  server.Signal(SIGINT);
  platform::Json snap, confirm;
  for (int i = 0; i < 100; ++i) {
    snap = person.AskJson(R"({"id":2,"op":"windows","lines":0})");
    const platform::Json* c = snap.Find("confirm");
    if (c && !c->IsNull()) {
      confirm = *c;
      break;
    }
    usleep(20000);
  }
  ASSERT_FALSE(confirm.IsNull()) << platform::WriteJson(snap);
  EXPECT_EQ(confirm.Find("caption")->AsString(), "COM Server Warning");
  EXPECT_NE(
      confirm.Find("text")->AsString().find("Are you sure you want to close this application?"),
      std::string::npos);
  std::string id = std::to_string(confirm.Find("id")->AsInteger());
  EXPECT_EQ(person.Ask(R"({"id":3,"op":"answer","confirm":)" + id + R"(,"yes":false})"),
            R"({"id":3,"answered":true})");
  usleep(200000);
  EXPECT_TRUE(server.Running());
  // The object's host keeps being served.
  EXPECT_TRUE(h.CallBool(a, "Configure", {"VERSIONCHECK=1.7"}));
  // Exit pressed in the window; this time the person says yes.
  platform::Json windows = person.AskJson(R"({"id":4,"op":"windows","lines":0})");
  int main_handle = 0;
  for (const auto& w : windows.Find("windows")->Items())
    if (w.Find("class")->AsString() == "TMainForm")
      main_handle = static_cast<int>(w.Find("handle")->AsInteger());
  ASSERT_GT(main_handle, 0);
  EXPECT_EQ(person.Ask(R"({"id":5,"op":"press","window":)" + std::to_string(main_handle) +
                       R"(,"control":"Exit1"})"),
            R"({"id":5,"pressed":true})");
  for (int i = 0; i < 100; ++i) {
    snap = person.AskJson(R"({"id":6,"op":"windows","lines":0})");
    const platform::Json* c = snap.Find("confirm");
    if (c && !c->IsNull()) {
      id = std::to_string(c->Find("id")->AsInteger());
      break;
    }
    usleep(20000);
  }
  person.Write(R"({"id":7,"op":"answer","confirm":)" + id +
               R"(,"yes":true})"
               "\n");
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
}

TEST(DriverServer, RegistrationRecord) {
  if (access(ServerBinary().c_str(), X_OK) != 0) GTEST_SKIP();
  ServerProcess scratch;  // for its temporary directory
  std::string env = "XDG_CONFIG_HOME=" + scratch.dir() + "/config";
  std::string out;
  ASSERT_EQ(
      RunProgram({ServerBinary(), "--regserver", "--socket", "/tmp/x.sock"}, out, 5000, {env}), 0)
      << out;
  std::string record;
  RunProgram({"cat", scratch.dir() + "/config/zelbacnet/server.reg"}, record, 5000);
  EXPECT_NE(record.find("PROGID=ZelBACnetServer.ZelBACnetServerDriver\n"), std::string::npos)
      << record;
  EXPECT_NE(record.find("CLSID={"), std::string::npos);
  EXPECT_NE(record.find("EXECUTABLE=" + ServerBinary() + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("SOCKET=/tmp/x.sock\n"), std::string::npos);
  ASSERT_EQ(RunProgram({ServerBinary(), "--unregserver"}, out, 5000, {env}), 0) << out;
  EXPECT_NE(access((scratch.dir() + "/config/zelbacnet/server.reg").c_str(), F_OK), 0);
  ASSERT_EQ(RunProgram({ServerBinary(), "--unregserver"}, out, 5000, {env}), 0) << out;
  out.clear();
  EXPECT_EQ(RunProgram({ServerBinary(), "--help"}, out, 5000), 0);
  EXPECT_NE(out.find("--automation"), std::string::npos);
  EXPECT_NE(RunProgram({ServerBinary(), "--bogus"}, out, 5000), 0);
}

TEST(HostTool, RunsCommandsAndStartsTheServerOnDemand) {
  if (access(HostToolBinary().c_str(), X_OK) != 0 || access(ServerBinary().c_str(), X_OK) != 0)
    GTEST_SKIP() << "build zelbacnet and zelbacnet-server first";
  ServerProcess scratch;
  std::string sock = scratch.dir() + "/ondemand.sock";
  std::string out;
  int rc = RunProgram({HostToolBinary(), "--socket", sock, "run", "DESCRIPTION=Lab", "PANELTYPE=1",
                       "OFFLINE=TRUE", ":", "SITESTATUS", ":", "immediate:SENDPOINTSLIST",
                       "POINT0={a}{2-AIN#1}{}{}", ":", "COMMAND=GETPOINTSLIST"},
                      out, 30000, {"XDG_CONFIG_HOME=" + scratch.dir() + "/none"});
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("VERSIONCHECK=1.7: accepted"), std::string::npos) << out;
  EXPECT_NE(out.find("connected"), std::string::npos) << out;
  EXPECT_NE(out.find("[3] Lab\n  [4] Offline"), std::string::npos) << out;
  EXPECT_NE(out.find("ExecuteImmediate SENDPOINTSLIST:\n  [0] COMMANDSTATUS=TRUE"),
            std::string::npos)
      << out;
  // Started with --automation on the tool's behalf, the server is gone once the tool is done.
  HostClient h;
  h.loop = nullptr;
  for (int i = 0; i < 100 && h.Connect(sock, 1); ++i) {
    h.Close();
    usleep(50000);
  }
  EXPECT_FALSE(h.Connect(sock, 1));

  out.clear();
  EXPECT_EQ(RunProgram({HostToolBinary(), "--help"}, out, 5000), 0);
  EXPECT_NE(out.find("Examples, against the simulated site"), std::string::npos);
  out.clear();
  EXPECT_EQ(
      RunProgram({HostToolBinary(), "--socket", sock, "--no-start", "view", "--once"}, out, 5000),
      2);
  EXPECT_NE(out.find("no driver server"), std::string::npos) << out;
}

// BACnet/IP: the driver in host 0, the independent peer in host 1, a raw listener in host 2.
TEST(DriverServerBIP, ConnectAnnouncesAndDisconnects) {
  if (!PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
  platform::MessageLoop loop;
  ZB_TEST_NETWORK(net, 3);
  ZB_START_SERVER(server, {}, net.Name(0));
  PeerProcess peer;
  ASSERT_TRUE(peer.Start("bip_peer.js", {"0.0.0.0", "47808", "255.255.255.255"}, net.Name(1)));
  ASSERT_TRUE(peer.WaitFor("\"listening\"", 15000, nullptr, loop)) << peer.TranscriptText();
  std::unique_ptr<UdpProbe> probe;
  net.In(2, [&] { probe = std::make_unique<UdpProbe>("0.0.0.0", 47808); });
  ASSERT_TRUE(probe->ok());

  HostClient h;
  Connected(h, server);
  int a = h.Create();
  ASSERT_TRUE(h.CallBool(a, "Configure", {"VERSIONCHECK=1.7"}));
  ASSERT_TRUE(h.CallBool(
      a, "Connect",
      {"DESCRIPTION=Plant", "PANELTYPE=0", "SP4=" + net.Address(0), "IP2=4321", "FP1=777"}));
  EXPECT_EQ(h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));

  std::string line;
  EXPECT_TRUE(peer.WaitFor("\"whoIs\"", 5000, &line, loop)) << peer.TranscriptText();
  EXPECT_NE(line.find(net.Address(0)), std::string::npos) << line;

  // I-Am-Router-To-Network for the virtual network 777 (0x0309), broadcast on the segment.
  auto wait_network_message = [&](int type, std::string& npdu) {
    std::string d;
    for (int i = 0; i < 20 && probe->Receive(d, 500); ++i) {
      // BVLL 81 0b/0a, length; NPDU version 1, control with the network-message bit.
      if (d.size() >= 7 && uint8_t(d[0]) == 0x81 && uint8_t(d[4]) == 0x01 &&
          (uint8_t(d[5]) & 0x80) && uint8_t(d[6]) == type) {
        npdu = d.substr(4);
        return true;
      }
    }
    return false;
  };
  std::string npdu;
  ASSERT_TRUE(wait_network_message(0x01, npdu));
  EXPECT_EQ(npdu.substr(3), std::string("\x03\x09", 2)) << Hex(npdu);

  // The WhoIsRouter button, pressed through the window view.
  platform::Json windows = h.AskJson(R"({"id":9,"op":"windows","lines":50})");
  int session = 0;
  std::string log;
  for (const auto& w : windows.Find("windows")->Items())
    if (w.Find("class")->AsString() == "TBACnetForm") {
      session = static_cast<int>(w.Find("handle")->AsInteger());
      EXPECT_EQ(w.Find("hint")->AsString(), "Plant");
      log = platform::WriteJson(w);
    }
  ASSERT_GT(session, 0);
  EXPECT_NE(log.find(R"("WhoIs","IAmRouter")"), std::string::npos) << log;
  EXPECT_EQ(h.Ask(R"({"id":10,"op":"press","window":)" + std::to_string(session) +
                  R"(,"control":"Button2"})"),
            R"({"id":10,"pressed":true})");
  EXPECT_TRUE(wait_network_message(0x00, npdu));

  // The peer finds our device: it answers a Who-Is with I-Am of instance 4321.
  peer.Send(R"({"cmd":"whoIs"})");
  EXPECT_TRUE(peer.WaitFor("\"deviceId\":4321", 5000, &line, loop)) << peer.TranscriptText();

  EXPECT_TRUE(h.CallBool(a, "Disconnect", {}));
  Texts r;
  for (int i = 0; i < 50; ++i) {
    r = h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"});
    if (r[0] != "COMMANDSTATUS=Disconnecting...") break;
    usleep(20000);
  }
  EXPECT_EQ(r, (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_TRUE(h.Release(a));
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
}

}  // namespace
}  // namespace zb::test

namespace zb::test {
namespace {

// A command waits for a device that never answers; its host goes away in the middle of the wait
// while another host is served inside that same wait.
TEST(DriverServerBIP, HostLeavesWhileACommandWaits) {
  ZB_TEST_NETWORK(net, 1);
  ZB_START_SERVER(server, {}, net.Name(0));
  HostClient h, other;
  Connected(h, server);
  Connected(other, server);
  int a = h.Create();
  ASSERT_TRUE(h.CallBool(a, "Configure", {"VERSIONCHECK=1.7"}));
  ASSERT_TRUE(h.CallBool(
      a, "Connect", {"DESCRIPTION=Plant", "PANELTYPE=0", "SP4=" + net.Address(0), "IP3=1500"}));
  ASSERT_EQ(h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"})[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(
      h.CallTexts(a, "Execute", {"COMMAND=POINTGETVALUE", "POINT={p}{10.47.0.77-AIN#1}{}{}"})[0],
      "COMMANDSTATUS=Reading Point Value...");
  usleep(300000);  // the worker is now waiting for its answer
  EXPECT_EQ(h.CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"})[0],
            "COMMANDSTATUS=Reading Point Value...");
  h.Close();
  // Served at once, inside the wait: far sooner than the 1.5 s the request may take.
  auto t0 = std::chrono::steady_clock::now();
  int b = other.Create();
  ASSERT_GT(b, 0);
  ASSERT_TRUE(other.CallBool(b, "Configure", {"VERSIONCHECK=1.7"}));
  ASSERT_TRUE(other.CallBool(b, "Connect", {"DESCRIPTION=plant", "PANELTYPE=0"}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  // b's connect took the session over; its outcome is collected as usual, and commands run.
  Texts r;
  for (int i = 0; i < 100; ++i) {
    r = other.CallTexts(b, "Execute", {"COMMAND=COMMANDSTATUS"});
    if (r[0] == "COMMANDSTATUS=TRUE" || r[0] == "COMMANDSTATUS=FALSE") break;
    usleep(50000);
  }
  EXPECT_EQ(r[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(other.CallTexts(b, "Execute", {"COMMAND=SENDDATA"})[0], "COMMANDSTATUS=");
  // The read of the host that left still waits: nothing starts before it has ended, and its
  // outcome then goes nowhere.
  EXPECT_EQ(other.CallTexts(b, "Execute", {"COMMAND=SITESTATUS"})[0],
            "COMMANDSTATUS=Waiting for driver...");
  for (int i = 0; i < 100; ++i) {
    r = other.CallTexts(b, "Execute", {"COMMAND=SITESTATUS"});
    if (r[0] != "COMMANDSTATUS=Waiting for driver...") break;
    usleep(50000);
  }
  EXPECT_EQ(r[0], "COMMANDSTATUS=Reading Site Status...");
  for (int i = 0; i < 200; ++i) {
    r = other.CallTexts(b, "Execute", {"COMMAND=COMMANDSTATUS"});
    if (r[0] == "COMMANDSTATUS=TRUE" || r[0] == "COMMANDSTATUS=FALSE") break;
    usleep(50000);
  }
  ASSERT_GE(r.size(), 2u);
  EXPECT_NE(r[1], "COMMANDERROR=Could not read data from panel.");  // the read's failure
  EXPECT_TRUE(server.Running()) << server.Log();
  EXPECT_TRUE(other.Release(b));
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

}  // namespace
}  // namespace zb::test

namespace zb::test {
namespace {

TEST(HostTool, ViewsAndPressesTheWindows) {
  if (access(HostToolBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "build zelbacnet first";
  ZB_START_SERVER(server, {});
  std::string out;
  ASSERT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "run", "--keep",
                        "DESCRIPTION=Lab", "PANELTYPE=1", "OFFLINE=TRUE"},
                       out, 20000),
            0)
      << out;
  out.clear();
  EXPECT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "press", "lab", "LogChk"},
                       out, 5000),
            0)
      << out;
  EXPECT_NE(
      RunProgram({HostToolBinary(), "--socket", server.socket(), "press", "Nowhere", "LogChk"}, out,
                 5000),
      0);
  usleep(100000);
  out.clear();
  EXPECT_EQ(
      RunProgram({HostToolBinary(), "--socket", server.socket(), "view", "--once"}, out, 5000), 0);
  EXPECT_NE(out.find("== BACnet Driver V1.70 [hidden] ==  1 Connection"), std::string::npos) << out;
  EXPECT_NE(out.find("Lab - BACnet Connection  [ ] Log Enabled"), std::string::npos) << out;
  // Exit from the tool: no object is alive, so the server ends without asking.
  out.clear();
  EXPECT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "press", "main", "Exit1"},
                       out, 5000),
            0)
      << out;
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
}

}  // namespace
}  // namespace zb::test
