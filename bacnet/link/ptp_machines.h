// The three PTP state machines (connection, transmission, reception) with their counters and
// flags. The 100 ms tick advances the counters and runs them; between ticks the owner runs them
// again whenever a frame arrives or data is queued (Step). They act on the line only through
// TPTPMachineActions, so they can be driven without a serial port.
#pragma once

#include <cstdint>
#include <string>

#include "bacnet/link/ptp_frame.h"
#include "bacnet/link/ptp_frame_receiver.h"

namespace zb::bacnet {

enum TPTPConnectionState { csDisconnected, csOutbound, csInbound, csConnected, csDisconnecting };
enum TPTPTransmitState { tsIdle, tsBlocked, tsReady, tsPending };
enum TPTPReceiveState { rsIdle, rsReady, rsData, rsAck, rsNak };

class TPTPMachineActions {
 public:
  virtual ~TPTPMachineActions() = default;
  virtual void SendFrame(uint8_t type, const std::string& data) = 0;
  // Writes the connection trigger "BACnet\r" unframed.
  virtual void WriteTrigger() = 0;
  // Hands received NPDU octets up.
  virtual void DeliverFrame(const std::string& data) = 0;
  virtual void Trace(const std::string& text) = 0;
  virtual bool TransmitQueueEmpty() = 0;
  // Removes the entry that leaves next; false when there is none.
  virtual bool TakeTransmitEntry(std::string& data) = 0;
  // Data of the connection frames that carry the password.
  virtual std::string ConnectPassword() = 0;
};

class TPTPMachines {
 public:
  explicit TPTPMachines(TPTPMachineActions& actions) : actions_(actions) {}

  // One tick of steps 2..5: counters, receiver time-out, one queue entry, the three machines.
  // The caller disables and re-enables its timer around it.
  void Tick(TPTPFrameReceiver& receiver);
  // Counters and the receiver's time-out only.
  void AdvanceCounters(TPTPFrameReceiver& receiver);
  // Takes one entry of ReceiveQueue when no indication is waiting.
  void TakeReceivedFrame(TPTPFrameReceiver& receiver);
  void RunConnectionMachine();
  void RunTransmitMachine();
  void RunReceiveMachine();
  // Between ticks: takes one entry when no indication is waiting and runs the three machines,
  // counters untouched. True when anything moved, so the caller steps again until nothing does.
  bool Step(TPTPFrameReceiver& receiver);

  // The waiting frame is cleared by a first preamble octet (see TPTPFrameReceiver::OnFrameStart).
  void ClearReceivedFrame() {
    ReceivedValidFrame = false;
    ReceivedInvalidFrame = false;
  }

  TPTPConnectionState ConnectionState = csDisconnected;
  TPTPTransmitState TransmitState = tsIdle;
  TPTPReceiveState ReceiveState = rsIdle;

  uint32_t TickCount = 0;
  uint32_t HeartbeatTimer = 0;
  uint32_t ResponseTimer = 0;
  uint32_t InactivityTimer = 0;
  uint16_t RetryCount = 0;

  bool ReceivedValidFrame = false;
  bool ReceivedInvalidFrame = false;
  uint16_t FrameType = 0;
  std::string FrameData;  // current frame data

  int TxSequence = 0;
  int RxSequence = 0;
  bool RemoteBusy = false;
  bool Ack0Received = false;
  bool Ack1Received = false;
  bool Nak0Received = false;
  bool Nak1Received = false;
  std::string LastDataFrame;

  bool OutboundRequested = false;
  bool InboundTriggered = false;
  bool DisconnectRequested = false;
  int BufferLevel = 2;

  static constexpr uint32_t kHeartbeatLimit = 150;
  static constexpr uint32_t kResponseLimit = 50;
  static constexpr uint32_t kInactivityLimit = 600;
  static constexpr uint16_t kMaxRetries = 3;

 private:
  bool ValidFrameIs(uint8_t type) const { return ReceivedValidFrame && FrameType == type; }
  void EnterConnected();

  TPTPMachineActions& actions_;
};

}  // namespace zb::bacnet
