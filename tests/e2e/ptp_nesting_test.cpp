// A PTP link's tick waits on the message loop while a frame goes out, so the driver window's
// session tick can come up nested inside it. A command worker started there would wait for its
// answer while the link it needs cannot tick: the read must start later and succeed instead.
#include "tests/e2e/ptp_harness.h"

namespace zb::e2e {
namespace {

namespace ptp = test::ptp;

class PTPNesting : public PTPInProcessTest {};

TEST_F(PTPNesting, ACommandIsNotStartedInsideTheLinksTick) {
  CableToDevice();
  StartDriver();
  int o = Arm();
  ASSERT_EQ(ConnectAndPoll(o, DirectParams())[0], "COMMANDSTATUS=TRUE") << Join(View("TraceMemo"));
  bacnet::TBACnetDataLinkPTP& link = main_form->SessionRegistry[0].second->Stack.PTP;
  auto log = link.OnTrace;
  int nested_ticks = 0;
  link.OnTrace = [&](void* sender, const std::string& text, int channel) {
    if (log) log(sender, text, channel);
    // Answering the test request sends a frame from inside the link's tick.
    if (text.find("TestRequest(RR)") != std::string::npos && nested_ticks++ == 0)
      main_form->ProcessTimerTimer();
  };

  // The command can start only from the nested session tick, or later once allowed again.
  main_form->ProcessTimer.SetEnabled(false);
  Texts started = host->CallTexts(o, "Execute", {"COMMAND=POINTGETVALUE", kPoint});
  ASSERT_EQ(started[0], "COMMANDSTATUS=Reading Point Value...");
  peer->SendFrame(ptp::kTestRequest, "ping");
  for (int i = 0; i < 20 && nested_ticks == 0; ++i) Pump(100);
  ASSERT_EQ(nested_ticks, 1);
  EXPECT_EQ(far_peer().Count(ptp::kTestResponse), 1);
  main_form->ProcessTimer.SetEnabled(true);

  EXPECT_EQ(Results(Poll(o)), (Texts{"VALUE=21.5", ""})) << Join(View("TraceMemo"));
  link.OnTrace = log;
}

}  // namespace
}  // namespace zb::e2e
