// Workers that suspend while they wait for their BACnet answer, on the manual clock: the tick
// returns at once, answers and time-outs resume the worker, and a session or an owner that goes
// away meanwhile leaves nothing behind that could resume into freed memory or the wrong command.
#include <gtest/gtest.h>

#include "bacnet/app/tag_codec.h"
#include "session/bacnet_form.h"
#include "session/command_workers.h"
#include "tests/bacnet/app/device_test_stack.h"

namespace zb {
namespace {

using namespace bacnet;
using bacnet::devtest::ComplexAck;
using bacnet::devtest::ScriptedNetwork;

struct Client : TSessionClient {
  void SessionGone(TSiteSession*) override {}
};

struct Rig {
  platform::ManualClock clock;
  platform::MessageLoop loop;
  platform::Desktop desktop{loop};
  ScriptedNetwork net;
  std::unique_ptr<TBACnetForm> form;

  Rig() {
    loop.SetClock(&clock);
    form = std::make_unique<TBACnetForm>(desktop);
    form->Stack.Application.Network = &net;
    form->Stack.Device.SetAPDUTimeout(3000);
    form->Stack.Device.NumberOfAPDURetries = 1;
    EXPECT_TRUE(form->Stack.Device.Open(true));
    form->Connected = true;
    net.sent.clear();
  }
  ~Rig() {
    form.reset();
    loop.SetClock(nullptr);
  }
  // Confirmed requests sent so far.
  std::vector<int> Invokes() const {
    std::vector<int> ids;
    for (const auto& s : net.sent)
      if (s.pdu.PDUType == kPDUConfirmedRequest) ids.push_back(s.pdu.InvokeID);
    return ids;
  }
  void AnswerValue(int invoke, double value) {
    net.Receive(ComplexAck(invoke, 12,
                           EncodeObjectIdentifier(kTagClassContext, 0, 2, 1) +
                               EncodeUnsigned(kTagClassContext, 1, 85) + EncodeOpeningTag(3) +
                               EncodeReal(kTagClassApplication, 0, value) + EncodeClosingTag(3)));
  }
  void StartGetValue(Client& c, const char* point = "{n}{10.0.0.2-AVAL#1}") {
    form->StartCommand(&c, kCommandPointGetValue,
                       Variant::MakeList({Variant("COMMAND=POINTGETVALUE"),
                                          Variant(std::string("POINT=") + point)}));
  }
};

TEST(SuspendedWorker, StartsAtOnceTicksWithoutWaitingAndIsResumedByItsAnswer) {
  Rig r;
  Client a;
  r.StartGetValue(a);
  EXPECT_TRUE(r.Invokes().empty());
  r.loop.ProcessMessages();  // the posted start, not the next tick
  ASSERT_EQ(r.Invokes().size(), 1u);
  EXPECT_TRUE(r.form->WorkerSuspended());
  EXPECT_EQ(r.form->Queue.OperationState, 1);
  EXPECT_EQ(r.form->Queue.StatusText, "Reading Point Value...");
  for (int i = 0; i < 5; ++i) r.form->Tick();  // return at once; start nothing a second time
  EXPECT_EQ(r.Invokes().size(), 1u);
  EXPECT_EQ(r.form->Points.ScanState, 0);
  EXPECT_EQ(r.form->Queue.PendingCommand, kCommandPointGetValue);

  r.AnswerValue(r.Invokes()[0], 21.5);
  EXPECT_EQ(r.form->Queue.OperationState, 1) << "resumed from the loop, not inside the delivery";
  r.loop.ProcessMessages();
  EXPECT_FALSE(r.form->WorkerSuspended());
  EXPECT_EQ(r.form->Queue.OperationState, 2);
  EXPECT_EQ(r.form->Queue.PendingCommand, 0);
  EXPECT_EQ(r.form->Queue.CommandResult[0].ToText(), "VALUE=21.5");
  EXPECT_EQ(r.form->Queue.StatusText, "");
}

TEST(SuspendedWorker, TimeOutAndRetryOnTheClockThenTheResultIsHeld150Ticks) {
  Rig r;
  Client a;
  r.StartGetValue(a);
  r.loop.ProcessMessages();
  ASSERT_EQ(r.Invokes().size(), 1u);
  r.loop.AdvanceClock(2900);
  EXPECT_EQ(r.Invokes().size(), 1u);
  r.loop.AdvanceClock(200);  // the first time-out: one retry, same invoke id
  ASSERT_EQ(r.Invokes().size(), 2u);
  EXPECT_EQ(r.Invokes()[1], r.Invokes()[0]);
  EXPECT_TRUE(r.form->WorkerSuspended());
  r.loop.AdvanceClock(3100);  // the retry times out too: the worker ends the command
  r.loop.ProcessMessages();
  EXPECT_EQ(r.Invokes().size(), 2u);
  EXPECT_FALSE(r.form->WorkerSuspended());
  EXPECT_EQ(r.form->Queue.OperationState, 3);
  EXPECT_EQ(r.form->Queue.ErrorText, "Could not read data from panel.");
  EXPECT_EQ(r.form->Queue.PendingCommand, 0);
  EXPECT_EQ(r.form->Stack.Device.PendingCount(), 0);

  for (int i = 0; i < 149; ++i) r.form->Tick();
  EXPECT_EQ(r.form->Queue.Owner, &a);
  EXPECT_EQ(r.form->Queue.StateFor(&a), 3);
  r.form->Tick();
  EXPECT_EQ(r.form->Queue.Owner, nullptr);
  EXPECT_EQ(r.form->Queue.OperationState, 0);
}

TEST(SuspendedWorker, SessionFreedWhileSuspendedOrWithItsResumePosted) {
  {
    Rig r;
    Client a;
    r.StartGetValue(a);
    r.loop.ProcessMessages();
    ASSERT_TRUE(r.form->WorkerSuspended());
    r.form.reset();
    r.loop.AdvanceClock(10'000);
  }
  {
    Rig r;
    Client a;
    r.StartGetValue(a);
    r.loop.ProcessMessages();
    r.AnswerValue(r.Invokes()[0], 1);  // the resume is posted ...
    r.form.reset();                    // ... and the session is gone before it runs
    r.loop.ProcessMessages();
  }
  {
    Rig r;
    Client a;
    r.StartGetValue(a);  // the start is posted and the session goes first
    r.form.reset();
    r.loop.ProcessMessages();
    EXPECT_TRUE(r.net.sent.empty());
  }
}

TEST(SuspendedWorker, OwnerLeavingWhileSuspendedHoldsTheQueueUntilItsWorkerEnds) {
  Client a, b;  // outlive the session, which tells its users when it goes
  Rig r;
  r.form->AddUser(&a);
  r.form->AddUser(&b);
  r.StartGetValue(a);
  r.loop.ProcessMessages();
  ASSERT_EQ(r.Invokes().size(), 1u);
  r.form->RemoveUser(&a);  // the host that asked went away
  EXPECT_EQ(r.form->Queue.Owner, nullptr);
  EXPECT_TRUE(r.form->WorkerSuspended());

  // Nothing new starts while the orphaned worker waits ...
  EXPECT_FALSE(r.form->StartCommand(&b, kCommandPointGetValue,
                                    Variant::MakeList({Variant("POINT={n}{10.0.0.2-AVAL#2}")})));
  r.loop.ProcessMessages();
  EXPECT_EQ(r.Invokes().size(), 1u);
  // ... and its answer ends it without leaving a result for anyone.
  r.AnswerValue(r.Invokes()[0], 1);
  r.loop.ProcessMessages();
  EXPECT_FALSE(r.form->WorkerSuspended());
  EXPECT_EQ(r.form->Queue.PendingCommand, 0);
  EXPECT_EQ(r.form->Queue.StateFor(&b), 0);

  r.StartGetValue(b, "{n}{10.0.0.2-AVAL#2}");
  r.loop.ProcessMessages();
  ASSERT_EQ(r.Invokes().size(), 2u);
  r.AnswerValue(r.Invokes()[1], 2);
  r.loop.ProcessMessages();
  EXPECT_EQ(r.form->Queue.StateFor(&b), 2);
  EXPECT_EQ(r.form->Queue.CommandResult[0].ToText(), "VALUE=2");
}

TEST(SuspendedWorker, TwoSessionsWaitSideBySide) {
  Rig r;
  TBACnetForm other(r.desktop);
  ScriptedNetwork net2;
  other.Stack.Application.Network = &net2;
  ASSERT_TRUE(other.Stack.Device.Open(true));
  Client a, b;
  r.StartGetValue(a);
  other.StartCommand(&b, kCommandPointGetValue,
                     Variant::MakeList({Variant("POINT={n}{10.0.0.2-AVAL#1}")}));
  r.loop.ProcessMessages();
  ASSERT_EQ(r.Invokes().size(), 1u);
  ASSERT_FALSE(net2.sent.empty());
  // The second session's answer ends its command while the first still waits.
  net2.Receive(ComplexAck(net2.sent.back().pdu.InvokeID, 12,
                          EncodeObjectIdentifier(kTagClassContext, 0, 2, 1) +
                              EncodeUnsigned(kTagClassContext, 1, 85) + EncodeOpeningTag(3) +
                              EncodeReal(kTagClassApplication, 0, 7) + EncodeClosingTag(3)));
  r.loop.ProcessMessages();
  EXPECT_EQ(other.Queue.OperationState, 2);
  EXPECT_TRUE(r.form->WorkerSuspended());
}

}  // namespace
}  // namespace zb
