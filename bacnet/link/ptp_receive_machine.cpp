// The PTP reception machine: acknowledges and hands up Data frames by their sequence bit,
// passes acknowledgements and NAKs to the transmission machine and tracks the peer's XON/XOFF.
#include "bacnet/link/ptp_machines.h"

namespace zb::bacnet {

void TPTPMachines::RunReceiveMachine() {
  // At most one pass through rsReady and one of the follow-up states per tick.
  for (;;) {
    switch (ReceiveState) {
      case rsIdle:
        if (ConnectionState == csConnected) {
          actions_.Trace("ConnectionEstablished(RI)");
          RxSequence = 0;
          ReceiveState = rsReady;
        }
        return;

      case rsReady:
        if (ReceivedValidFrame && (FrameType == ptpData0 || FrameType == ptpData1)) {
          actions_.Trace("DataReceived(RR)");
          ReceivedValidFrame = false;
          InactivityTimer = 0;
          ReceiveState = rsData;
          continue;
        }
        if (ReceivedValidFrame && FrameType >= ptpDataAck0XOff && FrameType <= ptpDataAck1XOn) {
          actions_.Trace("DataAck(RR)");
          ReceivedValidFrame = false;
          InactivityTimer = 0;
          ReceiveState = rsAck;
          continue;
        }
        if (ReceivedValidFrame && FrameType >= ptpDataNak0XOff && FrameType <= ptpDataNak1XOn) {
          actions_.Trace("DataNak(RR)");
          ReceivedValidFrame = false;
          InactivityTimer = 0;
          ReceiveState = rsNak;
          continue;
        }
        if (ValidFrameIs(ptpHeartbeatXOn)) {
          actions_.Trace("HeartbeatXOn(RR)");
          RemoteBusy = false;
          InactivityTimer = 0;
          ReceivedValidFrame = false;
        } else if (ValidFrameIs(ptpHeartbeatXOff)) {
          actions_.Trace("HeartbeatXOff(RR)");
          RemoteBusy = true;
          InactivityTimer = 0;
          ReceivedValidFrame = false;
        } else if (ValidFrameIs(ptpTestRequest)) {
          actions_.Trace("TestRequest(RR)");
          ReceivedValidFrame = false;
          InactivityTimer = 0;
          actions_.SendFrame(ptpTestResponse, FrameData);
        } else if (ValidFrameIs(ptpTestResponse)) {
          actions_.Trace("TestResponse(RR)");
          InactivityTimer = 0;
          ReceivedValidFrame = false;
        } else if (ReceivedInvalidFrame) {
          actions_.Trace("BadFrame(RR)");
          InactivityTimer = 0;
          ReceivedInvalidFrame = false;
        } else if (ConnectionState == csDisconnected) {
          actions_.Trace("Disconnect(RR)");
          ReceiveState = rsIdle;
        }
        return;

      case rsData:
        if (FrameType == ptpData0 && RxSequence == 1) {
          actions_.Trace("Duplicate0(RD)");
          actions_.SendFrame(ptpDataAck0XOn, "");
        } else if (FrameType == ptpData1 && RxSequence == 0) {
          actions_.Trace("Duplicate1(RD)");
          actions_.SendFrame(ptpDataAck1XOn, "");
        } else if (FrameType == ptpData0) {
          actions_.Trace("NewData0(RD)");
          actions_.DeliverFrame(FrameData);
          actions_.SendFrame(ptpDataAck0XOn, "");
          RxSequence = 1;
        } else {
          actions_.Trace("NewData1(RD)");
          actions_.DeliverFrame(FrameData);
          actions_.SendFrame(ptpDataAck1XOn, "");
          RxSequence = 0;
        }
        ReceiveState = rsReady;
        return;

      case rsAck: {
        // Types 4..7: bit 0 is the sequence, bit 1 set means XON.
        int seq = FrameType & 1;
        bool xon = (FrameType & 2) != 0;
        if (seq != TxSequence) {
          actions_.Trace(xon ? "Duplicate_XOn(RA)" : "Duplicate_XOff(RA)");
        } else {
          actions_.Trace(seq == 0 ? (xon ? "Ack0_XOn(RA)" : "Ack0_XOff(RA)")
                                  : (xon ? "Ack1_XOn(RA)" : "Ack1_XOff(RA)"));
          (seq == 0 ? Ack0Received : Ack1Received) = true;
        }
        RemoteBusy = !xon;
        ReceiveState = rsReady;
        return;
      }

      case rsNak: {
        // Types 8..11: bit 0 is the sequence, bit 1 set means XON.
        int seq = FrameType & 1;
        bool xon = (FrameType & 2) != 0;
        if (seq != TxSequence) {
          actions_.Trace(xon ? "Duplicate_XOn(RN)" : "Duplicate_XOff(RN)");
        } else {
          actions_.Trace(seq == 0 ? (xon ? "Nak0_Xon(RN)" : "Nak0_XOff(RN)")
                                  : (xon ? "Nak1_Xon(RN)" : "Nak1_XOff(RN)"));
          (seq == 0 ? Nak0Received : Nak1Received) = true;
        }
        RemoteBusy = !xon;
        ReceiveState = rsReady;
        return;
      }
    }
    return;
  }
}

}  // namespace zb::bacnet
