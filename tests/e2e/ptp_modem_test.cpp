// PTP sessions over an emulated Hayes modem. Through the driver server process: a dialled site
// answering point commands, and a dial that gets NO CARRIER with the traces of the set-up. With
// the driver in this process, where the modem's carrier line reaches the port: Disconnect hanging
// up, and a call that drops while connected.
#include "tests/e2e/ptp_harness.h"

namespace zb::e2e {
namespace {

class PTPModemServer : public PTPServerTest {};

TEST_F(PTPModemServer, DialledSiteAnswersPointCommands) {
  ModemToDevice();
  StartServer();
  int o = Arm();
  EXPECT_EQ(ConnectAndPoll(o, ModemParams()),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}))
      << server.Log();
  EXPECT_EQ(modem->commands, (Texts{"ATZ", "ATV1Q0", "ATDT5551234"}));
  EXPECT_TRUE(modem->online());
  Texts trace = View("TraceMemo");
  EXPECT_TRUE(
      InOrder(trace, {"Modem Init: ATZ", "Sent: ATV1Q0", "Sent: ATDT5551234", "Modem Connected",
                      "] Connected", "Result=TRUE", "ConState: Connected"}))
      << Join(trace);

  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={Boiler}{" + kAV1 + "}{VALUE=\"18.25\"}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  const std::string* stored = device->Get(2, 1, 85);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(*stored, test::PTPDevice::Real(18.25f));
  EXPECT_EQ(device->requests.back().priority, 10);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=18.25", ""}));
  EXPECT_TRUE(device->bad.empty());
}

TEST_F(PTPModemServer, NoCarrierFailsTheConnectWithTheTracesOfTheSetUp) {
  ModemToDevice();
  modem->dial_result = test::ModemEmulator::Dial::kNoCarrier;
  StartServer();
  int o = Arm();
  Texts params = ModemParams();
  params.erase(std::find(params.begin(), params.end(), "SP3=ATZ"));  // the default init
  EXPECT_EQ(ConnectAndPoll(o, params),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not connect to BACnet network."}))
      << server.Log();
  EXPECT_EQ(modem->commands, (Texts{"ATV1Q0&C1&D2", "ATV1Q0", "ATDT5551234"}));
  Texts trace = View("TraceMemo");
  EXPECT_TRUE(InOrder(trace, {"Modem Init: ATV1Q0&C1&D2", "Sent: ATV1Q0", "Sent: ATDT5551234",
                              "Modem Response: NO CARRIER", "Close Port"}))
      << Join(trace);
  EXPECT_EQ(FindLine(trace, "Result=TRUE"), -1);
  EXPECT_EQ(far_peer().raw, "");  // nothing reached the far end
  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", kPoint}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));

  // The host tries again and the line is free now: the retry dials.
  modem->dial_result = test::ModemEmulator::Dial::kConnect;
  EXPECT_EQ(ConnectAndPoll(o, params)[0], "COMMANDSTATUS=TRUE") << Join(View("TraceMemo"));
  EXPECT_EQ(std::count(modem->commands.begin(), modem->commands.end(), "ATDT5551234"), 2);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));
  // The write the host was told had failed is not carried out on the new call.
  EXPECT_EQ(std::count_if(device->requests.begin(), device->requests.end(),
                          [](const test::PTPDevice::Request& r) { return r.service == 15; }),
            0);
}

class PTPModemInProcess : public PTPInProcessTest {};

TEST_F(PTPModemInProcess, DisconnectHangsUp) {
  ModemToDevice();
  StartDriver();
  int o = Arm();
  ASSERT_EQ(ConnectAndPoll(o, ModemParams())[0], "COMMANDSTATUS=TRUE") << Join(View("TraceMemo"));
  ASSERT_TRUE(modem->carrier());
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));

  ASSERT_TRUE(host->CallBool(o, "Disconnect", {}));
  EXPECT_EQ(Poll(o), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_FALSE(modem->carrier());
  EXPECT_EQ(modem->hangups, 1);
  EXPECT_EQ(modem->commands.back(), "ATH");
  Texts trace = View("TraceMemo");
  EXPECT_NE(FindLine(trace, "Hangup 1"), -1) << Join(trace);
  EXPECT_EQ(FindLine(trace, "Hangup 2"), -1);  // the carrier went at the first attempt
  EXPECT_EQ(main_form->SessionRegistry.size(), 1u);
  EXPECT_FALSE(main_form->SessionRegistry[0].second->Connected);
}

TEST_F(PTPModemInProcess, ACallThatDropsFailsCommandsUntilTheHostConnectsAgain) {
  ModemToDevice();
  StartDriver();
  int o = Arm();
  ASSERT_EQ(ConnectAndPoll(o, ModemParams())[0], "COMMANDSTATUS=TRUE") << Join(View("TraceMemo"));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));

  modem->DropCarrier();  // the far end hangs up
  Pump(1000);
  EXPECT_NE(FindLine(View("TraceMemo"), "CarrierLost(CC)"), -1) << Join(View("TraceMemo"));
  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", kPoint}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={Boiler}{" + kAV1 + "}{VALUE=1}{}"}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not modify point."}));

  // A new connect dials again instead of trusting the dead line.
  ASSERT_EQ(ConnectAndPoll(o, ModemParams())[0], "COMMANDSTATUS=TRUE") << Join(View("TraceMemo"));
  EXPECT_EQ(std::count(modem->commands.begin(), modem->commands.end(), "ATDT5551234"), 2);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));
  // The write the host was told had failed is not carried out on the new call.
  EXPECT_EQ(std::count_if(device->requests.begin(), device->requests.end(),
                          [](const test::PTPDevice::Request& r) { return r.service == 15; }),
            0);
}

}  // namespace
}  // namespace zb::e2e
