// The PTP transmission machine: one Data frame in flight with alternating sequence bits,
// repetition on NAK or time-out, heartbeats while idle.
#include "bacnet/link/ptp_machines.h"

namespace zb::bacnet {

void TPTPMachines::RunTransmitMachine() {
  auto data_type = [this] { return TxSequence == 0 ? ptpData0 : ptpData1; };
  switch (TransmitState) {
    case tsIdle:
      if (ConnectionState == csConnected) {
        actions_.Trace("ConnectionEstablishedXOn(TI)");
        actions_.SendFrame(ptpHeartbeatXOn, "");
        TxSequence = 0;
        HeartbeatTimer = 0;
        TransmitState = tsBlocked;
      }
      break;

    case tsBlocked:
      if (ConnectionState == csDisconnected) {
        actions_.Trace("Disconnected(TB)");
        TransmitState = tsIdle;
      } else if (!RemoteBusy) {
        actions_.Trace("PeerReceiverReady(TB)");
        TransmitState = tsReady;
      } else if (HeartbeatTimer > kHeartbeatLimit) {
        actions_.Trace("HeartbeatTimerExpiredXOn(TB)");
        actions_.SendFrame(ptpHeartbeatXOn, "");
        HeartbeatTimer = 0;
      }
      break;

    case tsReady:
      if (ConnectionState == csDisconnected) {
        actions_.Trace("Disconnected(TR)");
        TransmitState = tsIdle;
      } else if (!RemoteBusy && !actions_.TransmitQueueEmpty()) {
        actions_.Trace("TransmitMessage(TR)");
        std::string data;
        if (actions_.TakeTransmitEntry(data)) {
          LastDataFrame = data;
          actions_.SendFrame(data_type(), data);
        }
        RetryCount = 0;
        ResponseTimer = 0;
        TransmitState = tsPending;
      } else if (RemoteBusy) {
        actions_.Trace("RemoteBusy(TR)");
        TransmitState = tsBlocked;
      } else if (HeartbeatTimer > kHeartbeatLimit) {
        actions_.Trace("HeartbeatTimerExpiredXOn(TR)");
        actions_.SendFrame(ptpHeartbeatXOn, "");
        HeartbeatTimer = 0;
      }
      break;

    case tsPending: {
      bool nak = TxSequence == 0 ? Nak0Received : Nak1Received;
      bool expired = nak || ResponseTimer > kResponseLimit;
      if (ConnectionState == csDisconnected) {
        actions_.Trace("Disconnected(TP)");
        TransmitState = tsIdle;
      } else if ((TxSequence == 0 && Ack0Received) || (TxSequence == 1 && Ack1Received)) {
        actions_.Trace("ReceiveAcknowledgment(TP)");
        TxSequence = 1 - TxSequence;
        Ack0Received = Ack1Received = false;
        TransmitState = tsReady;
      } else if (expired && RetryCount < kMaxRetries) {
        actions_.Trace("Retry(TP)");
        ++RetryCount;
        Nak0Received = Nak1Received = false;
        ResponseTimer = 0;
        if (!LastDataFrame.empty()) actions_.SendFrame(data_type(), LastDataFrame);
      } else if (expired) {
        actions_.Trace("RetriesFailed(TP)");
        RetryCount = 0;
        Nak0Received = Nak1Received = false;
        ResponseTimer = 0;
        TransmitState = tsReady;
      }
      break;
    }
  }
}

}  // namespace zb::bacnet
