// The host operations of one session: who owns the session now (the driver object waiting for
// an outcome), the command queued or running for it, its state and texts as COMMANDSTATUS shows
// them, and the hold that drops a result nobody collects. One command at a time; a connect or
// disconnect takes the session over from whatever ran before.
#pragma once

#include <functional>
#include <string>

#include "platform/variant.h"

namespace zb {

class TSessionClient;

class TCommandQueue {
 public:
  // Ticks an uncollected result is held for its owner.
  static constexpr int kResultHoldTicks = 150;

  TSessionClient* Owner = nullptr;
  int PendingCommand = 0;
  int OperationState = 0;  // 0 idle, 1 busy, 2 done, 3 failed
  std::string StatusText;
  std::string ErrorText;
  Variant CommandParams;
  Variant CommandResult{std::string()};
  int ResultHoldTicks = 0;
  bool CommandActive = false;
  // Which operation an outcome belongs to. Every operation begun for an owner (command, connect,
  // disconnect) gets a new number: OwnerOperation is the one the Owner waits for, QueuedOperation
  // the one PendingCommand carries out, RunningOperation the one a worker carries out now (0: no
  // worker runs). A worker's outcome is stored only while its operation is still the Owner's; one
  // whose owner left or was taken over is dropped.
  int OwnerOperation = 0;
  int QueuedOperation = 0;
  int RunningOperation = 0;

  // What the session's panel shows: the progress text, "" when a command ends, "Idle" once the
  // queue is idle.
  std::function<void(const std::string& text)> OnPanel;

  // Queues a command for `owner` with its progress text; false while one is queued or running
  // (even for an owner that has gone, whose worker would otherwise end the new command).
  bool Enqueue(TSessionClient* owner, int kind, const Variant& params, const std::string& progress);
  // A connect takes the session over: a new operation for `owner`, no result held, and a command
  // queued but not started dropped (it would run for nobody). The connect's operation number.
  int TakeOver(TSessionClient* owner);
  // A disconnect takes the session over and is queued as `kind` with "Disconnecting...";
  // `queue` false when nothing needs closing and the outcome is known at once (done).
  void QueueDisconnect(TSessionClient* owner, int kind, bool queue);
  // Stores a connect's outcome, unless the session was taken over while the connect ran.
  void ConnectEnded(int operation, bool ok, const std::string& error);

  void SetPending(int kind);
  int StateFor(const TSessionClient* owner) const;
  void Release(TSessionClient* owner);
  void ResetOperation();
  void SetStatus(const std::string& text);
  void SetError(const std::string& text) { ErrorText = text; }
  // One tick of the result hold: an uncollected result is dropped.
  void HoldTick();

  // Finishes the running command the way every worker does: state 2 or 3, status cleared, the
  // error text on failure, the result stored, the queue back to idle. A command that lost its
  // owner ends without storing anything.
  void FinishCommand(bool ok, const std::string& error = {}, const Variant* result = nullptr);

  // A command is queued or a worker is still carrying one out: nothing new may start.
  bool CommandBusy() const { return PendingCommand != 0 || RunningOperation != 0; }
  // A queued command waits for its worker to start.
  bool WaitingToStart() const { return PendingCommand != 0 && RunningOperation == 0; }
  // The running command is still its Owner's operation, so its outcome may be stored.
  bool CommandCurrent() const;
  // The Owner the running command works for; nullptr once the command has lost it.
  TSessionClient* CommandOwner() const { return CommandCurrent() ? Owner : nullptr; }
  // Marks the queued command as running (before its worker starts); its operation number.
  int BeginCommand();
  // Ends the running command after its outcome was stored (or dropped by CommandCurrent): the
  // queue goes back to idle, holding the result only when it reached its owner. A disconnect
  // queued over a command that lost its owner stays queued.
  void EndCommand();

 private:
  int NewOperation(TSessionClient* owner);
  void Show(const std::string& text) {
    if (OnPanel) OnPanel(text);
  }

  int last_operation_ = 0;
};

}  // namespace zb
