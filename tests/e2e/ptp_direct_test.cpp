// The driver server on a direct PTP cable (a pseudo-terminal) to a BACnet device: connect with
// its progress seen by a person watching during the line set-up, point reads and writes answered at
// the far end, disconnect with its exchange, an offline PTP session that leaves the line alone, and
// a cable pulled while connected.
#include "tests/e2e/ptp_harness.h"

namespace zb::e2e {
namespace {

namespace ptp = test::ptp;

class PTPDirect : public PTPServerTest {};

TEST_F(PTPDirect, ConnectReadWriteAndDisconnect) {
  CableToDevice();
  StartServer();
  int o = Arm();

  // While the line is being opened the server serves everyone else at once, inside the open:
  // a person watching sees the session's progress text.
  const int connect_id = ++next_id;
  host->Write(CallLine(connect_id, o, "Connect", DirectParams()) + "\n");
  Pump(400);
  test::HostClient person;
  person.loop = &loop_;
  ASSERT_TRUE(person.Connect(server.socket()));
  platform::Json panel = SessionControl("MessagePnl", &person);
  ASSERT_FALSE(panel.IsNull());
  EXPECT_EQ(panel.Find("caption")->AsString(), "Connecting...");
  EXPECT_EQ(far_peer().triggers, 0);  // still in the pause before the connection machine
  platform::Json connected = ReplyTo(connect_id, 30000);
  ASSERT_NE(connected.Find("result"), nullptr) << server.Log();
  EXPECT_TRUE(connected.Find("result")->AsBool());
  EXPECT_EQ(Poll(o), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(SessionControl("MessagePnl", &person).Find("caption")->AsString(), "");
  EXPECT_EQ(far_peer().triggers, 1);
  EXPECT_EQ(far_peer().Count(ptp::kConnectResponse), 1);

  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", kPoint}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "VALUE=21.5", ""}));
  ASSERT_FALSE(device->requests.empty());
  const auto& read = device->requests.back();
  EXPECT_EQ(read.service, 12);
  // Object (analog value, 1) in context tag 0, present value (85) in context tag 1, no index.
  EXPECT_EQ(read.apdu.substr(4), std::string("\x0C\x00\x80\x00\x01\x19\x55", 7));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{" + kAV1 + ":77}{}{}"})),
            (Texts{"VALUE=Boiler Temp", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{@<Local>-AVAL#99}{}{}"}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));

  // Out of service and a value in one command: two writes, the value at priority 10.
  size_t before = device->requests.size();
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={Boiler}{" + kAV1 + "}{VALUE=\"30.5\"}{TRUE}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  ASSERT_EQ(device->requests.size(), before + 2);
  const auto& oos = device->requests[before];
  EXPECT_EQ(oos.service, 15);
  EXPECT_EQ(oos.property, 81u);
  EXPECT_EQ(oos.value, "\x11");
  const auto& pv = device->requests[before + 1];
  EXPECT_EQ(pv.property, 85u);
  EXPECT_EQ(pv.value, std::string("\x44\x41\xF4\x00\x00", 5));  // REAL 30.5
  EXPECT_EQ(pv.priority, 10);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=30.5", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETDISABLED", kPoint})), (Texts{"DISABLED=TRUE", ""}));
  EXPECT_TRUE(device->bad.empty());
  EXPECT_GE(device->who_is, 1);

  Texts trace = View("TraceMemo");
  EXPECT_TRUE(InOrder(trace, {"Result=TRUE", "ConState: Connected"})) << Join(trace);
  Texts log = View("LogMemo");
  EXPECT_TRUE(InOrder(log, {"WhoIs", "IAmRouter"})) << Join(log);

  ASSERT_TRUE(host->CallBool(o, "Disconnect", {}));
  EXPECT_EQ(Poll(o), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(far_peer().Count(ptp::kDisconnectRequest), 1);
  // Closed now: a command finds no answer, and a new connect opens the line again.
  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", kPoint}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));
  EXPECT_EQ(ConnectAndPoll(o, DirectParams())[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(far_peer().triggers, 2);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=30.5", ""}));
  // A second connect while the line is up keeps it.
  EXPECT_EQ(ConnectAndPoll(o, DirectParams())[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(far_peer().triggers, 2);
}

TEST_F(PTPDirect, OfflinePTPSessionConnectsAtOnceAndLeavesTheLineAlone) {
  CableToDevice();
  StartServer();
  int o = Arm();
  Texts params = DirectParams();
  params.push_back("OFFLINE=TRUE");
  ASSERT_TRUE(host->CallBool(o, "Connect", params));
  // Done by the first poll: nothing to wait for.
  EXPECT_EQ(host->CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", kPoint}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));
  Pump(500);
  EXPECT_EQ(far_peer().raw, "");
  ASSERT_TRUE(host->CallBool(o, "Disconnect", {}));
  EXPECT_EQ(host->CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"})[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(far_peer().raw, "");
}

TEST_F(PTPDirect, APulledCableFailsLaterCommandsWithoutHanging) {
  CableToDevice();
  StartServer();
  int o = Arm();
  ASSERT_EQ(ConnectAndPoll(o, DirectParams(1000))[0], "COMMANDSTATUS=TRUE") << server.Log();
  ASSERT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));

  device.reset();
  peer.reset();
  pty.CloseMaster();  // the far end is gone: the driver's side reads a hang-up

  auto start = std::chrono::steady_clock::now();
  Texts started = host->CallTexts(o, "Execute", {"COMMAND=POINTGETVALUE", kPoint});
  EXPECT_EQ(started[0], "COMMANDSTATUS=Reading Point Value...");
  // Polls are answered while the read waits for its time-out.
  Pump(300);
  EXPECT_EQ(host->CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"})[0],
            "COMMANDSTATUS=Reading Point Value...");
  EXPECT_EQ(Poll(o, 15000),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={Boiler}{" + kAV1 + "}{VALUE=1}{}"}, 15000),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not modify point."}));
  ASSERT_TRUE(host->CallBool(o, "Disconnect", {}));
  EXPECT_EQ(Poll(o, 20000)[0], "COMMANDSTATUS=TRUE");
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(seconds.count(), 20);
  EXPECT_TRUE(server.Running());
}

}  // namespace
}  // namespace zb::e2e
