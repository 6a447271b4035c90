// The command queue as hosts meet it over the server's socket, on a PTP line (a pseudo-terminal):
// a read whose host vanishes or whose session a connect takes over never reports its value to
// another command, and requests that arrive while a Connect sets the line up are answered at once,
// before the Connect's own reply.
#include "tests/e2e/ptp_harness.h"

namespace zb::e2e {
namespace {

const std::string kPoint2 = "POINT={Pump}{@<Local>-AVAL#2}{}{}";

class HostQueue : public PTPServerTest {
 protected:
  // A second host on the same server.
  std::unique_ptr<test::HostClient> OtherHost() {
    auto h = std::make_unique<test::HostClient>();
    h->loop = &loop_;
    EXPECT_TRUE(h->Connect(server.socket()));
    return h;
  }
  // Starts `params` for `o` on `h`, retrying while the session answers "Waiting for driver...".
  Texts StartWhenFree(test::HostClient& h, int o, const Texts& params, int timeout_ms = 15000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Texts t;
    do {
      t = h.CallTexts(o, "Execute", params);
      if (t.empty() || t[0] != "COMMANDSTATUS=Waiting for driver...") return t;
      Pump(50);
    } while (std::chrono::steady_clock::now() < end);
    return t;
  }
  // Waits until the device has received `n` requests in all.
  bool RequestsSeen(size_t n, int timeout_ms = 5000) {
    for (int waited = 0; device->requests.size() < n && waited < timeout_ms; waited += 20) Pump(20);
    return device->requests.size() >= n;
  }
};

TEST_F(HostQueue, AReadWhoseHostVanishedReportsToNobody) {
  CableToDevice();
  device->Set(2, 2, 85, test::PTPDevice::Real(7.25f));
  StartServer();
  auto x = OtherHost();
  int ox = x->Create();
  ASSERT_TRUE(x->CallBool(ox, "Configure", {"VERSIONCHECK=1.7"}));
  platform::Json r = x->AskJson(CallLine(1, ox, "Connect", DirectParams(1500)), 60000);
  ASSERT_NE(r.Find("result"), nullptr) << server.Log();
  ASSERT_EQ(x->CallTexts(ox, "Execute", {"COMMAND=COMMANDSTATUS"})[0], "COMMANDSTATUS=TRUE");
  int oy = Arm();
  ASSERT_EQ(ConnectAndPoll(oy, DirectParams(1500))[0], "COMMANDSTATUS=TRUE");  // same session

  // X's read waits for an answer that comes only to its retry; X goes away meanwhile.
  device->answering = false;
  size_t before = device->requests.size();
  ASSERT_EQ(x->CallTexts(ox, "Execute", {"COMMAND=POINTGETVALUE", kPoint})[0],
            "COMMANDSTATUS=Reading Point Value...");
  ASSERT_TRUE(RequestsSeen(before + 1));
  x->Close();
  Pump(200);
  EXPECT_EQ(host->CallTexts(oy, "Execute", {"COMMAND=POINTGETVALUE", kPoint2})[0],
            "COMMANDSTATUS=Waiting for driver...");
  EXPECT_EQ(host->CallTexts(oy, "Execute", {"COMMAND=SITESTATUS"})[0],
            "COMMANDSTATUS=Waiting for driver...");
  device->answering = true;

  // Once X's read has ended, Y's own read runs and reports Y's point.
  EXPECT_EQ(StartWhenFree(*host, oy, {"COMMAND=POINTGETVALUE", kPoint2})[0],
            "COMMANDSTATUS=Reading Point Value...");
  EXPECT_EQ(Results(Poll(oy)), (Texts{"VALUE=7.25", ""}));
  EXPECT_EQ(device->requests.back().instance, 2u);
  EXPECT_TRUE(server.Running());
}

TEST_F(HostQueue, AConnectTakingOverMidReadGetsItsOwnOutcomeAndThenItsOwnRead) {
  CableToDevice();
  device->Set(2, 2, 85, test::PTPDevice::Real(7.25f));
  StartServer();
  int a = Arm();
  int c = Arm();
  ASSERT_EQ(ConnectAndPoll(a, DirectParams(1500))[0], "COMMANDSTATUS=TRUE");

  device->answering = false;
  size_t before = device->requests.size();
  ASSERT_EQ(host->CallTexts(a, "Execute", {"COMMAND=POINTGETVALUE", kPoint})[0],
            "COMMANDSTATUS=Reading Point Value...");
  ASSERT_TRUE(RequestsSeen(before + 1));
  // C's connect takes the session over while A's read waits: C collects its connect, not A's read.
  ASSERT_TRUE(Connect(c, DirectParams(1500)));
  EXPECT_EQ(host->CallTexts(c, "Execute", {"COMMAND=COMMANDSTATUS"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(host->CallTexts(c, "Execute", {"COMMAND=POINTGETVALUE", kPoint2})[0],
            "COMMANDSTATUS=Waiting for driver...");
  device->answering = true;

  EXPECT_EQ(StartWhenFree(*host, c, {"COMMAND=POINTGETVALUE", kPoint2})[0],
            "COMMANDSTATUS=Reading Point Value...");
  EXPECT_EQ(Results(Poll(c)), (Texts{"VALUE=7.25", ""}));
  // A lost the session to C: its read's value went nowhere.
  EXPECT_EQ(host->CallTexts(a, "Execute", {"COMMAND=COMMANDSTATUS"}),
            (Texts{"COMMANDSTATUS=FALSE", ""}));
}

// A line that never answers: the set-up runs its whole course (four connection attempts).
TEST_F(HostQueue, PollsPipelinedBehindAConnectAreAnsweredDuringTheSetUp) {
  StartServer();
  int o = Arm();
  const int connect_id = ++next_id;
  std::string lines = CallLine(connect_id, o, "Connect", DirectParams()) + "\n";
  for (int i = 1; i <= 3; ++i)
    lines += CallLine(connect_id + i, o, "Execute", {"COMMAND=COMMANDSTATUS"}) + "\n";
  next_id += 3;
  host->Write(lines);  // one write: the polls wait in the server behind the Connect

  std::vector<std::string> order;
  platform::Json connected;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (connected.IsNull() && std::chrono::steady_clock::now() < end) {
    std::string line = host->ReadLine(200);
    platform::Json j;
    std::string err;
    if (line.empty() || !platform::ParseJson(line, j, err)) continue;
    const int id = static_cast<int>(j.Find("id")->AsInteger());
    order.push_back(std::to_string(id - connect_id));
    if (id == connect_id) {
      connected = j;
    } else {
      EXPECT_EQ(test::JsonTexts(*j.Find("result")), (Texts{"COMMANDSTATUS=Connecting...", ""}))
          << line;
    }
  }
  EXPECT_EQ(order, (Texts{"1", "2", "3", "0"}));
  ASSERT_NE(connected.Find("result"), nullptr) << server.Log();
  EXPECT_TRUE(connected.Find("result")->AsBool());  // the session was obtained
  EXPECT_EQ(Poll(o),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not connect to BACnet network."}));
}

}  // namespace
}  // namespace zb::e2e
