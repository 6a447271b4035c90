#include "session/command_queue.h"

namespace zb {

int TCommandQueue::NewOperation(TSessionClient* owner) {
  Owner = owner;
  OwnerOperation = ++last_operation_;
  return OwnerOperation;
}

bool TCommandQueue::Enqueue(TSessionClient* owner, int kind, const Variant& params,
                            const std::string& progress) {
  if (CommandBusy()) return false;
  SetStatus(progress);
  CommandResult = Variant(std::string());
  CommandParams = params;
  QueuedOperation = NewOperation(owner);
  SetPending(kind);
  OperationState = 1;
  ErrorText.clear();
  return true;
}

int TCommandQueue::TakeOver(TSessionClient* owner) {
  CommandResult = Variant(std::string());
  // Its outcome is kept until the owner collects it, so no hold left by an earlier result may
  // drop it.
  const int operation = NewOperation(owner);
  ResultHoldTicks = 0;
  if (WaitingToStart()) {
    PendingCommand = 0;
    CommandActive = false;
  }
  return operation;
}

void TCommandQueue::QueueDisconnect(TSessionClient* owner, int kind, bool queue) {
  CommandResult = Variant(std::string());
  const int operation = NewOperation(owner);
  ResultHoldTicks = 0;
  ResetOperation();
  if (!queue) {
    OperationState = 2;
    SetStatus("");
    return;
  }
  OperationState = 1;
  SetStatus("Disconnecting...");
  QueuedOperation = operation;
  SetPending(kind);
}

void TCommandQueue::ConnectEnded(int operation, bool ok, const std::string& error) {
  if (Owner == nullptr || OwnerOperation != operation) return;
  OperationState = ok ? 2 : 3;
  SetStatus("");
  if (!ok) SetError(error);
}

void TCommandQueue::SetPending(int kind) {
  PendingCommand = kind;
  if (kind != 0) {
    CommandActive = true;
  } else {
    Show("Idle");
    CommandActive = false;
    ResultHoldTicks = kResultHoldTicks;
  }
}

int TCommandQueue::StateFor(const TSessionClient* owner) const {
  return Owner == nullptr || Owner == owner ? OperationState : -1;
}

void TCommandQueue::Release(TSessionClient* owner) {
  if (Owner != owner || owner == nullptr) return;
  Owner = nullptr;
  ResultHoldTicks = 0;
  OperationState = 0;
}

void TCommandQueue::ResetOperation() {
  OperationState = 0;
  StatusText.clear();
  ErrorText.clear();
}

void TCommandQueue::SetStatus(const std::string& text) {
  StatusText = text;
  Show(text);
}

void TCommandQueue::HoldTick() {
  if (ResultHoldTicks > 0 && --ResultHoldTicks == 0) Release(Owner);
}

void TCommandQueue::FinishCommand(bool ok, const std::string& error, const Variant* result) {
  if (CommandCurrent()) {
    OperationState = ok ? 2 : 3;
    SetStatus("");
    if (!ok && !error.empty()) SetError(error);
    if (result) CommandResult = *result;
  }
  EndCommand();
}

bool TCommandQueue::CommandCurrent() const {
  return Owner != nullptr && RunningOperation != 0 && RunningOperation == OwnerOperation;
}

int TCommandQueue::BeginCommand() {
  RunningOperation = QueuedOperation;
  return RunningOperation;
}

void TCommandQueue::EndCommand() {
  const bool delivered = CommandCurrent();
  const bool queuedOver = PendingCommand != 0 && QueuedOperation != RunningOperation;
  RunningOperation = 0;
  if (delivered) {
    SetPending(0);
    return;
  }
  if (queuedOver) return;
  // Nobody waits for this outcome: back to idle without a result to hold.
  PendingCommand = 0;
  CommandActive = false;
  if (!Owner) {
    SetStatus("");
    Show("Idle");
  }
}

}  // namespace zb
