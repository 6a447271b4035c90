// The operation bookkeeping on its own, without a session around it: which outcome reaches
// which owner, and what the panel is told.
#include "session/command_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/command_kinds.h"
#include "session/session_client.h"

namespace zb {
namespace {

struct Client : TSessionClient {
  void SessionGone(TSiteSession*) override {}
};

struct QueueRig {
  TCommandQueue q;
  std::vector<std::string> panel;
  QueueRig() {
    q.OnPanel = [this](const std::string& t) { panel.push_back(t); };
  }
};

TEST(CommandQueue, OneCommandAtATimeAndItsResultHeldForItsOwner) {
  QueueRig r;
  Client a, b;
  ASSERT_TRUE(r.q.Enqueue(&a, kCommandSiteTime, Variant("p"), "Reading Site Time..."));
  EXPECT_FALSE(r.q.Enqueue(&b, kCommandSiteStatus, Variant(), "x"));
  EXPECT_EQ(r.q.StateFor(&a), 1);
  EXPECT_EQ(r.q.StateFor(&b), -1);
  EXPECT_TRUE(r.q.WaitingToStart());

  r.q.BeginCommand();
  EXPECT_FALSE(r.q.WaitingToStart());
  EXPECT_EQ(r.q.CommandOwner(), &a);
  const Variant result = Variant::MakeList({Variant("SITETIME=x"), Variant("")});
  r.q.FinishCommand(true, {}, &result);
  EXPECT_FALSE(r.q.CommandBusy());
  EXPECT_EQ(r.q.OperationState, 2);
  EXPECT_EQ(r.q.CommandResult.Count(), 2);
  EXPECT_EQ(r.panel, (std::vector<std::string>{"Reading Site Time...", "", "Idle"}));

  for (int i = 0; i < TCommandQueue::kResultHoldTicks - 1; ++i) r.q.HoldTick();
  EXPECT_EQ(r.q.Owner, &a);
  r.q.HoldTick();
  EXPECT_EQ(r.q.Owner, nullptr);
  EXPECT_EQ(r.q.OperationState, 0);
}

TEST(CommandQueue, TakenOverCommandEndsWithoutTouchingTheNewOwnersOutcome) {
  QueueRig r;
  Client a, c;
  ASSERT_TRUE(r.q.Enqueue(&a, kCommandPointGetValue, Variant(), "Reading Point Value..."));
  r.q.BeginCommand();
  const int connect = r.q.TakeOver(&c);
  EXPECT_EQ(r.q.PendingCommand, kCommandPointGetValue) << "running, so not dropped";
  EXPECT_EQ(r.q.CommandOwner(), nullptr);
  r.q.ConnectEnded(connect, true, "never shown");
  const Variant late = Variant::MakeList({Variant("VALUE=1"), Variant("")});
  r.q.FinishCommand(false, "late failure", &late);
  EXPECT_FALSE(r.q.CommandBusy());
  EXPECT_EQ(r.q.Owner, &c);
  EXPECT_EQ(r.q.OperationState, 2);
  EXPECT_EQ(r.q.ErrorText, "");
  EXPECT_TRUE(r.q.CommandResult.IsText());
  EXPECT_EQ(r.q.ResultHoldTicks, 0);

  // A connect's outcome is dropped once a later operation took the session over.
  const int stale = r.q.TakeOver(&a);
  r.q.TakeOver(&c);
  r.q.OperationState = 1;
  r.q.ConnectEnded(stale, false, "Could not connect to BACnet network.");
  EXPECT_EQ(r.q.OperationState, 1);
  EXPECT_EQ(r.q.ErrorText, "");
}

TEST(CommandQueue, DisconnectQueuedOverACommandWhoseOwnerLeftStaysQueued) {
  QueueRig r;
  Client a, b;
  ASSERT_TRUE(r.q.Enqueue(&a, kCommandSiteTime, Variant(), "Reading Site Time..."));
  r.q.BeginCommand();
  r.q.Release(&b);  // not the owner: nothing
  EXPECT_EQ(r.q.Owner, &a);
  r.q.QueueDisconnect(&b, kCommandDisconnect, true);
  EXPECT_EQ(r.q.StatusText, "Disconnecting...");
  r.q.FinishCommand(true);
  EXPECT_EQ(r.q.PendingCommand, kCommandDisconnect);
  EXPECT_TRUE(r.q.WaitingToStart());
  EXPECT_EQ(r.q.OperationState, 1);

  // Nothing to close: done at once, nothing queued.
  QueueRig idle;
  idle.q.QueueDisconnect(&b, kCommandDisconnect, false);
  EXPECT_EQ(idle.q.PendingCommand, 0);
  EXPECT_EQ(idle.q.OperationState, 2);
  EXPECT_EQ(idle.q.StateFor(&b), 2);
}

TEST(CommandQueue, ConnectDropsOnlyACommandNotYetStarted) {
  QueueRig r;
  Client a, c;
  ASSERT_TRUE(r.q.Enqueue(&a, kCommandSiteTime, Variant(), "Reading Site Time..."));
  r.q.TakeOver(&c);
  EXPECT_FALSE(r.q.CommandBusy());
  EXPECT_FALSE(r.q.CommandActive);
  // Its owner gone, a command ending leaves the panel idle.
  ASSERT_TRUE(r.q.Enqueue(&a, kCommandSiteTime, Variant(), "Reading Site Time..."));
  r.q.BeginCommand();
  r.q.Release(&a);
  r.panel.clear();
  r.q.EndCommand();
  EXPECT_EQ(r.panel, (std::vector<std::string>{"", "Idle"}));
  EXPECT_EQ(r.q.ResultHoldTicks, 0);
}

}  // namespace
}  // namespace zb
