#include "bacnet/link/ptp_machines.h"

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

}  // namespace zb::bacnet
