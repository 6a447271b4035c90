// The BACnet point-to-point data link: NPDUs in PTP frames over a serial port, a direct cable
// or a Hayes-command modem. Frame codec and state machines live in ptp_frame*.h and
// ptp_machines.h; this class wires them to the port, the 100 ms tick and the network layer.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bacnet/link/data_link.h"
#include "bacnet/link/ptp_frame_receiver.h"
#include "bacnet/link/ptp_machines.h"
#include "bacnet/link/serial_port.h"
#include "bacnet/link/transmit_queue.h"
#include "platform/loop_wait.h"
#include "platform/message_loop.h"
#include "platform/task.h"

namespace zb::bacnet {

enum TBACnetPTPBaudRate { br300, br1200, br2400, br4800, br9600, br19200, br38400, br57600 };

// Bit/s of a baud-rate value; 0 for a value outside the enumeration.
int PTPBaudRateSpeed(int rate);

class TBACnetDataLinkPTP : public TBACnetDataLink, private TPTPMachineActions {
 public:
  // emulations: handed to the serial port (see TSerialPort).
  explicit TBACnetDataLinkPTP(platform::MessageLoop& loop,
                              const platform::ModemLineEmulations* emulations = nullptr);
  ~TBACnetDataLinkPTP() override;

  // TBACnetDataLink
  void Trace(const std::string& text) override;
  // Opening sets the line up (a connect string, or a modem's dialogue and dial) and then waits
  // for the connection machine; closing hangs up and runs the disconnect exchange. Both suspend
  // the awaiting task meanwhile; the task must not outlive the link.
  platform::Task<bool> Activate(bool open) override;
  // Without waiting: opening works only without a port (there is nothing to set up); closing
  // closes the port at once, without the hang-up and the exchange.
  bool SetActive(bool open) override;
  int MaxAPDUCode() override { return 3; }
  bool Send(const TBACnetFrame& frame) override;
  void GetParameter(int kind, Variant& value) override;
  bool IsPointToPoint() const override { return true; }

  // Published properties.
  int BaudRate() const { return baud_rate_; }
  void SetBaudRate(int rate);
  int Comport() const { return comport_; }
  void SetComport(int port);
  std::string Password;
  std::string ConnectString;
  std::string DisconnectString;
  std::string PhoneNumber;
  bool DirectConnect = false;
  std::string ModemInit;

  // Shows a message to the user (the window objects show it in a message box). Unassigned: the
  // message is only traced.
  std::function<void(const std::string& text)> OnShowMessage;

  // Builds, escapes and writes one frame. The machines pause until the port has sent it (or the
  // time the frame needs on the line plus 2 s has passed); a frame asked for meanwhile (two in
  // one step of the machines) is written behind it.
  void SendFrame(uint8_t type, const std::string& data) override;

  // Line set-up; each suspends the awaiting task while it waits.
  platform::Task<> Pause(int ticks);  // ticks of 55 ms
  platform::Task<> SendCommandString(std::string text);
  platform::Task<bool> Dial(std::string number);
  platform::Task<bool> HangUp();

  // One 100 ms tick of the link (the timer's handler): counters, time-outs, heartbeats, then the
  // machines as after any event.
  void Tick();
  // Runs the machines until nothing moves: called when a frame has been received and when data
  // was queued, so acknowledgements and the next data frame leave at once rather than at the
  // next tick. While a frame drains it only asks for a run once it has.
  void RunMachines();

  TPTPMachines& Machines() { return machines_; }
  TPTPFrameReceiver& Receiver() { return receiver_; }
  TSerialPort& Port() { return *port_; }
  TTransmitQueue& TransmitQueue() { return transmit_queue_; }
  platform::Timer& TickTimer() { return timer_; }
  bool Sending() const { return sending_; }

  static constexpr const char* kDefaultModemInit = "ATV1Q0&C1&D2";
  static constexpr int kDrainCheckMs = 5;

 private:
  // TPTPMachineActions
  void WriteTrigger() override;
  void DeliverFrame(const std::string& data) override;
  bool TransmitQueueEmpty() override { return transmit_queue_.Empty(); }
  bool TakeTransmitEntry(std::string& data) override;
  std::string ConnectPassword() override { return Password; }

  void Run(int ticks);
  void PostRun();
  void ClearIfFrameStarted();
  void CaptureNPDU(bool outgoing, const std::string& npdu);
  void HandleTriggerAvail(int count);
  void HandleTriggerData(int handle);
  void HandleLineError();
  void CheckCarrier();
  void AttachAvail();
  void DetachAvail();
  void ClosePortQuietly();
  platform::Task<bool> OpenLine();
  platform::Task<> CloseLine();
  // Suspends until cond() holds (looked at after every run of the machines) or max_ms passed;
  // true when it held.
  platform::Task<bool> WaitUntil(std::function<bool()> cond, int64_t max_ms);
  platform::Task<> SleepMs(int ms);
  // The frame written last has left the port, or its time is up: the machines go on.
  void CheckDrained();
  void PostDrainCheck();
  void FrameSent();

  platform::MessageLoop& loop_;
  std::unique_ptr<TSerialPort> port_;
  platform::Timer timer_;
  TPTPFrameReceiver receiver_;
  TPTPMachines machines_;
  TTransmitQueue transmit_queue_;
  int baud_rate_ = br9600;
  int comport_ = 0;
  int trigger_handle_ = 0;
  int line_error_handle_ = 0;
  bool sending_ = false;
  // A run of the machines is under way; what comes up inside it is left to that run.
  bool running_ = false;
  bool run_again_ = false;
  int ticks_deferred_ = 0;
  bool run_posted_ = false;
  bool frame_started_ = false;
  // While a frame drains: looked at every few milliseconds (the device raises no event when its
  // output has gone), until this time at the latest.
  platform::Timer drain_timer_;
  int64_t drain_deadline_ = 0;
  bool drain_posted_ = false;
  platform::LoopWait* condition_wait_ = nullptr;
  // A modem line is up and its carrier has been seen (see CheckCarrier).
  bool modem_line_up_ = false;
  bool carrier_seen_ = false;
  std::string output_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace zb::bacnet
