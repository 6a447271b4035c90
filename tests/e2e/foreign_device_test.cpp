// A site on another subnet, reached through a BBMD: the driver (host 0) and the site (device in
// host 2, BBMD in host 3) sit on two subnets joined by a router (host 1) that passes no
// broadcast. The BBMD is a test peer written from the standard (tests/peer/bbmd.js).
#include <algorithm>

#include "commands_harness.h"

namespace zb::e2e {
namespace {

int CountLines(const test::PeerProcess& p, const std::string& text) {
  return static_cast<int>(
      std::count_if(p.Transcript().begin(), p.Transcript().end(),
                    [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

class ForeignDevice : public CommandsTest {
 protected:
  void SetUp() override {
    StartSite(4);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(net_->Route(1, {2, 3})) << net_->error();
    ASSERT_EQ(net_->Address(2), "10.47.1.3");
  }
  // The log lines of the first session window.
  Texts SessionLog() {
    platform::Json snap = host_.AskJson(R"({"id":9000,"op":"windows","lines":1000})");
    const platform::Json* ws = snap.Find("windows");
    if (!ws) return {};
    for (const platform::Json& w : ws->Items()) {
      if (w.Find("class")->AsString() != "TBACnetForm") continue;
      for (const platform::Json& c : w.Find("controls")->Items()) {
        if (c.Find("name")->AsString() != "LogMemo") continue;
        Texts out;
        for (const platform::Json& l : c.Find("lines")->Items()) out.push_back(l.AsString());
        return out;
      }
    }
    return {};
  }
  bool Logged(const std::string& text) {
    Texts log = SessionLog();
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  // Everything the peer said so far, for failure messages.
  std::string Said(test::PeerProcess& p) {
    std::string line;
    while (p.ReadLine(line, 200, loop_)) {
    }
    return p.TranscriptText();
  }
  bool WaitForPeerLines(test::PeerProcess& p, const std::string& text, int n, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    while (CountLines(p, text) < n && std::chrono::steady_clock::now() < end)
      p.ReadLine(line, 100, loop_);
    return CountLines(p, text) >= n;
  }
};

TEST_F(ForeignDevice, DiscoveryAndPointsThroughTheBBMDAcrossARouter) {
  test::PeerProcess& bbmd = StartPeer(3, "bbmd.js", {"10.47.1.4", "47808", "10.47.1.255"});
  test::PeerProcess& site = StartDevice(2, 1001);

  int o = host_.Create();
  ASSERT_TRUE(host_.CallBool(o, "Configure", {"VERSIONCHECK=1.7"}));
  ASSERT_TRUE(host_.CallBool(o, "Connect",
                             {"DESCRIPTION=Remote", "PANELTYPE=0", "SP4=10.47.0.1", "IP3=1000",
                              "BBMD=10.47.1.4", "BBMDTTL=2"}));
  EXPECT_EQ(Poll(o, 10000)[0], "COMMANDSTATUS=TRUE") << server_.LogText();

  ASSERT_TRUE(
      WaitForPeerLines(bbmd, R"("event":"register","address":"10.47.0.1:47808","ttl":2)", 1, 5000))
      << bbmd.TranscriptText();
  ASSERT_TRUE(WaitForDevices(o, 1)) << Said(bbmd) << Said(site) << Join(SessionLog());
  EXPECT_TRUE(WaitForPeerLines(bbmd, R"("event":"distribute","from":"10.47.0.1:47808","result":0)",
                               1, 5000));
  EXPECT_TRUE(WaitForPeerLines(bbmd, R"("event":"forward","from":"10.47.1.3:47808")", 1, 5000))
      << "the I-Am came back through the BBMD";
  // Re-registered before the two seconds run out, again and again.
  EXPECT_TRUE(WaitForPeerLines(bbmd, R"("event":"register")", 3, 5000)) << bbmd.TranscriptText();

  Texts status = Results(Run(o, {"COMMAND=SITESTATUS"}));
  ASSERT_GE(status.size(), 6u) << Join(status);
  EXPECT_EQ(status[3], "1 Devices Found:");
  EXPECT_EQ(status[5].rfind("Device #1001 / Network: 0 / Address: [0a][2f][01][03][ba][c0]", 0), 0u)
      << status[5];
  Texts points = Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GetPointsList"}, 60000));
  ASSERT_EQ(points.size(), 10u) << Join(points);
  EXPECT_NE(points[0].find("{Site Device 1001}"), std::string::npos) << points[0];
  EXPECT_NE(points[1].find("{Boiler Temp}"), std::string::npos) << points[1];

  // The BBMD turns us away: logged with its address and the code, and reads still work.
  bbmd.Send(R"({"cmd":"nak","on":true})");
  ASSERT_TRUE(WaitForPeerLines(bbmd, R"("result":48)", 1, 5000)) << bbmd.TranscriptText();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!Logged("BBMD 10.47.1.4:47808: Register-Foreign-Device NAK, result code 0x0030") &&
         std::chrono::steady_clock::now() < end)
    Sleep(100);
  EXPECT_TRUE(Logged("BBMD 10.47.1.4:47808: Register-Foreign-Device NAK, result code 0x0030"))
      << Join(SessionLog());
  EXPECT_TRUE(Logged("BBMD 10.47.1.4:47808: registered as foreign device, time-to-live 2 s"));
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GETVENDORINFO",
                            "POINTADDRESS=10.47.1.3-DEV#1001"})),
            (Texts{"VENDORID=260", "MODELNAME=Site Box"}));

  // Accepted again, then the disconnect gives the entry up.
  bbmd.Send(R"({"cmd":"nak","on":false})");
  const std::string accepted =
      R"("event":"register","address":"10.47.0.1:47808","ttl":2,"result":0)";
  ASSERT_TRUE(WaitForPeerLines(bbmd, accepted, CountLines(bbmd, accepted) + 1, 5000));
  ASSERT_TRUE(host_.CallBool(o, "Disconnect", {}));
  EXPECT_EQ(Poll(o)[0], "COMMANDSTATUS=TRUE");
  EXPECT_TRUE(WaitForPeerLines(
      bbmd, R"("event":"delete","address":"10.47.0.1:47808","entry":"10.47.0.1:47808","result":0)",
      1, 5000))
      << bbmd.TranscriptText();
}

}  // namespace
}  // namespace zb::e2e
