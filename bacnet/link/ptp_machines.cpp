#include "bacnet/link/ptp_machines.h"

#include <tuple>

namespace zb::bacnet {

void TPTPMachines::AdvanceCounters(TPTPFrameReceiver& receiver) {
  ++TickCount;
  ++receiver.SilenceTimer;
  ++HeartbeatTimer;
  ++ResponseTimer;
  ++InactivityTimer;
  receiver.CheckTimeout();
}

void TPTPMachines::TakeReceivedFrame(TPTPFrameReceiver& receiver) {
  if (ReceivedValidFrame || ReceivedInvalidFrame || receiver.ReceiveQueue.empty()) return;
  TPTPReceivedFrame f = std::move(receiver.ReceiveQueue.front());
  receiver.ReceiveQueue.pop_front();
  FrameData = std::move(f.Data);
  if (f.Invalid) {
    ReceivedInvalidFrame = true;
    FrameType = 255;
    actions_.Trace("InvalidFrame");
  } else {
    ReceivedValidFrame = true;
    FrameType = f.FrameType;
    actions_.Trace("ValidFrame: " + PTPFrameName(f.FrameType));
  }
}

void TPTPMachines::Tick(TPTPFrameReceiver& receiver) {
  AdvanceCounters(receiver);
  TakeReceivedFrame(receiver);
  RunConnectionMachine();
  RunTransmitMachine();
  RunReceiveMachine();
}

bool TPTPMachines::Step(TPTPFrameReceiver& receiver) {
  // Every row that fires changes one of these.
  auto state = [&] {
    return std::make_tuple(ConnectionState, TransmitState, ReceiveState, ReceivedValidFrame,
                           ReceivedInvalidFrame, receiver.ReceiveQueue.size(), HeartbeatTimer,
                           ResponseTimer, InactivityTimer, RetryCount, TxSequence, RxSequence,
                           RemoteBusy, Ack0Received, Ack1Received, Nak0Received, Nak1Received,
                           OutboundRequested, InboundTriggered, DisconnectRequested);
  };
  const auto before = state();
  TakeReceivedFrame(receiver);
  // Disconnected with nothing asked for, the only row is the tick's "Lost".
  if (ConnectionState != csDisconnected || OutboundRequested || InboundTriggered)
    RunConnectionMachine();
  RunTransmitMachine();
  RunReceiveMachine();
  return state() != before;
}

}  // namespace zb::bacnet
