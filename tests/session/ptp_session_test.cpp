// A session on the PTP link over a pseudo-terminal, a PTP peer with a BACnet device behind it:
// the line opened by Connect (busy and "Connecting..." meanwhile), a repeated connect that keeps
// a line that is up, and one that sets up a line again after a disconnect or a failed open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "session/bacnet_form.h"
#include "tests/common/fast_clock.h"
#include "tests/common/ptp_device.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"

namespace zb {
namespace {

constexpr int kPort = 41;

struct Client : TSessionClient {
  void SessionGone(TSiteSession*) override {}
};

bool Logged(const platform::TextView& v, const std::string& part) {
  return std::any_of(v.Lines().begin(), v.Lines().end(),
                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

class PTPSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    pty.MapToPort(kPort);
    TConnectionInfo info;
    info.Description = "Line";
    info.PanelType = 1;
    info.ComPort = kPort;
    info.BaudRate = 19200;
    info.DirectConnect = true;
    info.ApduRetries = 1;
    session.CopyInfo(info);
  }
  // Connects, noting what a poll would have seen while the line was being opened.
  void Connect() {
    seen_state = -1;
    seen_status.clear();
    platform::Timer probe(loop);
    probe.SetInterval(300);
    probe.OnTimer = [&] {
      probe.SetEnabled(false);
      seen_state = session.Queue.OperationState;
      seen_status = session.Queue.StatusText;
    };
    probe.SetEnabled(true);
    EXPECT_TRUE(session.ConnectFor(&client));
    // The set-up runs on as the session's task; the test waits where a host's Connect would.
    EXPECT_TRUE(time.RunUntil([&] { return !session.SettingUpLine(); }, 120'000));
  }
  // Queues a disconnect and lets its hang-up run to its end.
  void Disconnect() {
    session.DisconnectFor(&client);
    session.Tick();
    EXPECT_TRUE(time.RunUntil([&] { return !session.WorkerSuspended(); }, 60'000));
  }

  platform::MessageLoop loop;
  test::FastClock time{loop};
  test::PtyPair pty;
  test::PTPPeer peer{loop, pty.master()};
  test::PTPDevice device{peer, 77};
  platform::Desktop desktop{loop};
  TBACnetForm session{desktop};
  Client client;
  int seen_state = -1;
  std::string seen_status;
};

TEST_F(PTPSession, ConnectKeepsAnUpLineAndSetsUpAClosedOneAgain) {
  Connect();
  EXPECT_EQ(seen_state, 1);
  EXPECT_EQ(seen_status, "Connecting...");
  ASSERT_TRUE(session.Connected) << session.Queue.ErrorText;
  EXPECT_EQ(session.Queue.OperationState, 2);
  EXPECT_EQ(session.Queue.StatusText, "");
  EXPECT_EQ(session.Stack.PTP.BaudRate(), bacnet::br19200);
  EXPECT_EQ(session.Stack.PTP.Port().Baud(), 19200);
  EXPECT_EQ(peer.triggers, 1);
  // The discovery after the connect reaches the device, and its I-Am binds it.
  ASSERT_TRUE(time.RunUntil([&] { return !session.Stack.Device.Bindings().empty(); }, 3000));
  EXPECT_EQ(session.Stack.Device.Bindings()[0].Instance, 77);
  EXPECT_EQ(session.Stack.Device.Bindings()[0].Address.str(), "<Local>");
  EXPECT_TRUE(device.bad.empty());

  // Again while the line is up: nothing is reopened.
  Connect();
  EXPECT_EQ(seen_state, -1);  // it did not wait
  EXPECT_TRUE(session.Connected);
  EXPECT_EQ(session.Queue.OperationState, 2);
  EXPECT_EQ(peer.triggers, 1);

  Disconnect();
  EXPECT_FALSE(session.Connected);
  EXPECT_EQ(session.Queue.ErrorText, "");
  EXPECT_EQ(peer.Count(test::ptp::kDisconnectRequest), 1);

  // After the disconnect the line is down: a connect opens it again.
  Connect();
  EXPECT_EQ(seen_status, "Connecting...");
  EXPECT_TRUE(session.Connected) << session.Queue.ErrorText;
  EXPECT_EQ(peer.triggers, 2);
  EXPECT_EQ(session.Stack.PTP.Machines().ConnectionState, bacnet::csConnected);
}

TEST_F(PTPSession, AFailedOpenIsTriedAgainByTheNextConnect) {
  peer.answer_trigger = false;  // nobody at the far end takes the call
  Connect();
  EXPECT_FALSE(session.Connected);
  EXPECT_EQ(session.Queue.OperationState, 3);
  EXPECT_EQ(session.Queue.ErrorText, "Could not connect to BACnet network.");
  EXPECT_TRUE(Logged(session.TraceMemo, "ConState: Disconnected"));
  EXPECT_GE(peer.triggers, 1);

  peer.answer_trigger = true;
  Connect();
  EXPECT_TRUE(session.Connected) << session.Queue.ErrorText;
  EXPECT_EQ(session.Queue.OperationState, 2);
  EXPECT_TRUE(Logged(session.TraceMemo, "ConState: Connected"));
}

TEST_F(PTPSession, APortThatCannotBeReopenedIsShownAndLogged) {
  std::vector<std::string> shown;
  session.OnShowMessage = [&](const std::string& text) { shown.push_back(text); };
  Connect();
  ASSERT_TRUE(session.Connected);
  Disconnect();
  ASSERT_FALSE(session.Connected);
  ASSERT_TRUE(session.Stack.PTP.Port().Open());  // a closed line keeps its port

  // The adapter went away meanwhile.
  ::setenv(("ZELBACNET_COM" + std::to_string(kPort)).c_str(), "/nonexistent/tty", 1);
  Connect();
  EXPECT_EQ(shown, (std::vector<std::string>{"COM41 is invalid or already in use."}));
  EXPECT_TRUE(Logged(session.LogMemo, "COM41 is invalid or already in use."));
  EXPECT_FALSE(session.Connected);
  EXPECT_EQ(session.Queue.ErrorText, "Could not connect to BACnet network.");
  EXPECT_TRUE(Logged(session.TraceMemo, "Exception"));
}

// A second line whose far end never takes the call, set up side by side with the first.
class TwoPTPSessions : public PTPSession {
 protected:
  void SetUp() override {
    PTPSession::SetUp();
    ASSERT_TRUE(silent_pty.ok());
    silent_pty.MapToPort(kPort + 1);
    TConnectionInfo info = session.Info;
    info.Description = "Silent";
    info.ComPort = kPort + 1;
    silent.CopyInfo(info);
  }
  test::PtyPair silent_pty;
  TBACnetForm silent{desktop};
  Client other;
};

TEST_F(TwoPTPSessions, SetUpsSideBySideEndInTheirOwnOrder) {
  std::vector<std::string> ended;
  ASSERT_TRUE(silent.ConnectFor(&other, [&] { ended.push_back("silent"); }));
  ASSERT_TRUE(session.ConnectFor(&client, [&] { ended.push_back("line"); }));
  EXPECT_TRUE(silent.SettingUpLine());
  EXPECT_TRUE(session.SettingUpLine());
  // The answered line is up long before the silent one gives up; neither waits inside the other.
  ASSERT_TRUE(time.RunUntil([&] { return !session.SettingUpLine(); }, 30'000));
  EXPECT_TRUE(session.Connected);
  EXPECT_TRUE(silent.SettingUpLine());
  EXPECT_EQ(silent.Queue.StatusText, "Connecting...");
  EXPECT_EQ(loop.nesting(), 0);
  ASSERT_TRUE(time.RunUntil([&] { return ended.size() == 2; }, 60'000));
  EXPECT_EQ(ended, (std::vector<std::string>{"line", "silent"}));
  EXPECT_FALSE(silent.Connected);
  EXPECT_EQ(silent.Queue.OperationState, 3);
}

TEST_F(TwoPTPSessions, ASessionFreedMidSetUpAnswersItsConnectAndFreesTheWork) {
  int ended = 0;
  auto gone = std::make_unique<TBACnetForm>(desktop);
  gone->CopyInfo(silent.Info);
  silent_pty.MapToPort(kPort + 1);
  ASSERT_TRUE(gone->ConnectFor(&other, [&] { ++ended; }));
  time.RunFor(3000);
  ASSERT_TRUE(gone->SettingUpLine());
  gone.reset();
  EXPECT_EQ(ended, 0);  // from the loop, not inside the destructor
  time.RunFor(100);
  EXPECT_EQ(ended, 1);
  // Nothing of it runs on: the other session still sets its line up as usual.
  Connect();
  EXPECT_TRUE(session.Connected);
}

TEST_F(PTPSession, ASessionFreedMidHangUpFreesTheWork) {
  auto s = std::make_unique<TBACnetForm>(desktop);
  s->CopyInfo(session.Info);
  ASSERT_TRUE(s->ConnectFor(&client));
  ASSERT_TRUE(time.RunUntil([&] { return !s->SettingUpLine(); }, 30'000));
  ASSERT_TRUE(s->Connected);
  s->DisconnectFor(&client);
  s->Tick();
  EXPECT_TRUE(s->WorkerSuspended());  // the disconnect waits for the far end, suspended
  EXPECT_EQ(loop.nesting(), 0);
  s.reset();
  time.RunFor(3000);
  EXPECT_EQ(loop.nesting(), 0);
}

}  // namespace
}  // namespace zb
