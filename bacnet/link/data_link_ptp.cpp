#include "bacnet/link/data_link_ptp.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/strings.h"

namespace zb::bacnet {

int PTPBaudRateSpeed(int rate) {
  static constexpr int kSpeeds[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600};
  if (rate < br300 || rate > br57600) return 0;
  return kSpeeds[rate];
}

TBACnetDataLinkPTP::TBACnetDataLinkPTP(platform::MessageLoop& loop,
                                       const platform::ModemLineEmulations* emulations)
    : loop_(loop),
      port_(std::make_unique<TSerialPort>(loop, emulations)),
      timer_(loop),
      machines_(*this),
      drain_timer_(loop) {
  MaxAPDULength = 480;
  WindowLimit = 1;
  port_->AutoOpen = false;
  SetBaudRate(br9600);
  port_->PromptForPort = false;
  port_->TapiMode = tmOff;
  port_->SetReceivedDataThreshold(1);
  port_->SetRTS(false);
  AttachAvail();
  port_->OnTriggerData = [this](void*, int handle) { HandleTriggerData(handle); };
  port_->OnTriggerLineError = [this](void*, int, int) { HandleLineError(); };
  // A frame starting clears an indication no machine took. Inside a run the indication may be
  // one just taken and not yet seen by the reception machine (the machines paused while a frame
  // drains): it is cleared after the next step, if still left then.
  receiver_.OnFrameStart = [this] {
    if (running_ || sending_)
      frame_started_ = true;
    else
      machines_.ClearReceivedFrame();
  };
  receiver_.OnQueued = [this] { RunMachines(); };
  timer_.SetEnabled(false);
  timer_.SetInterval(100);
  timer_.OnTimer = [this] { Tick(); };
  drain_timer_.SetInterval(kDrainCheckMs);
  drain_timer_.OnTimer = [this] { CheckDrained(); };
}

TBACnetDataLinkPTP::~TBACnetDataLinkPTP() {
  *alive_ = false;
  if (port_->Open()) {
    port_->FlushInput();
    port_->FlushOutput();
    port_->RemoveAllTriggers();
  }
  port_->SetOpen(false);
  timer_.SetEnabled(false);
  timer_.OnTimer = nullptr;
  drain_timer_.SetEnabled(false);
}

void TBACnetDataLinkPTP::AttachAvail() {
  port_->OnTriggerAvail = [this](void*, int count) { HandleTriggerAvail(count); };
}

void TBACnetDataLinkPTP::DetachAvail() { port_->OnTriggerAvail = nullptr; }

void TBACnetDataLinkPTP::Trace(const std::string& text) {
  if (!OnTrace) return;
  std::string line = "[" + std::to_string(machines_.TickCount) +
                     "][C:" + std::to_string(machines_.ConnectionState) +
                     "][T:" + std::to_string(machines_.TransmitState) +
                     "][R:" + std::to_string(machines_.ReceiveState) + "][" +
                     std::to_string(port_->InputUsed()) + "] " + text;
  OnTrace(this, line, 0);
}

bool TBACnetDataLinkPTP::Send(const TBACnetFrame& frame) {
  // A PTP frame carries at most 501 octets; a longer NPDU could never be received, so it is
  // refused here rather than repeated and dropped on the line.
  if (frame.Length < 0 || frame.Length > kPTPMaxData) return false;
  TTransmitQueueEntry entry;
  entry.Data.assign(reinterpret_cast<const char*>(frame.Data), static_cast<size_t>(frame.Length));
  entry.Priority = frame.Priority;
  if (!transmit_queue_.Add(std::move(entry))) return false;
  // Not from here: the caller is in the middle of building its request.
  PostRun();
  return true;
}

void TBACnetDataLinkPTP::PostRun() {
  if (running_) {
    run_again_ = true;
    return;
  }
  if (run_posted_) return;
  run_posted_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    if (alive.expired()) return;
    run_posted_ = false;
    RunMachines();
  });
}

void TBACnetDataLinkPTP::GetParameter(int kind, Variant& value) {
  if (kind != kParamLocalAddress) return;
  value = Variant(kThisAddressText);
  LocalAddress = kThisAddressText;
}

bool TBACnetDataLinkPTP::TakeTransmitEntry(std::string& data) {
  TTransmitQueueEntry entry;
  if (!transmit_queue_.TakeNext(entry)) return false;
  data = std::move(entry.Data);
  return true;
}

void TBACnetDataLinkPTP::CaptureNPDU(bool outgoing, const std::string& npdu) {
  TCapturedPacket p;
  p.Outgoing = outgoing;
  p.SerialLine = true;
  p.Octets = npdu;
  p.TimeUs = CaptureTimeNow();
  OnCapture(p);
}

void TBACnetDataLinkPTP::DeliverFrame(const std::string& data) {
  if (OnCapture) CaptureNPDU(false, data);
  if (!OnReceive) return;
  auto frame = std::make_unique<TBACnetFrame>();
  ClearFrame(*frame);
  frame->SourceAddress = kLocalAddressText;
  frame->DestinationAddress = kThisAddressText;
  size_t n = std::min(data.size(), static_cast<size_t>(kFrameDataSize));
  frame->Length = static_cast<int32_t>(n);
  std::memcpy(frame->Data, data.data(), n);
  try {
    OnReceive(this, *frame);
  } catch (...) {
    // The upper layers' failures stay there.
  }
}

void TBACnetDataLinkPTP::WriteTrigger() { port_->WriteString(std::string(kPTPTrigger)); }

void TBACnetDataLinkPTP::HandleTriggerAvail(int count) {
  std::weak_ptr<bool> alive = alive_;
  // Read no more than is still there: a handler run while a frame was queued may have flushed
  // or closed the port.
  for (int i = 0; i < count && port_->InputUsed() > 0; ++i) {
    receiver_.ReceiveOctet(port_->ReadOctet());
    if (alive.expired()) return;
  }
  // The far end answering is as good a moment as any to see whether our frame has gone.
  if (sending_) PostDrainCheck();
}

void TBACnetDataLinkPTP::HandleTriggerData(int handle) {
  if (handle != 0 && handle == trigger_handle_) machines_.InboundTriggered = true;
}

void TBACnetDataLinkPTP::HandleLineError() {
  if (line_error_handle_) port_->ArmLineErrorTrigger(line_error_handle_, 15, true);
  receiver_.LineError();
}

void TBACnetDataLinkPTP::Tick() { Run(1); }

void TBACnetDataLinkPTP::RunMachines() { Run(0); }

void TBACnetDataLinkPTP::Run(int ticks) {
  if (running_ || sending_) {
    // A tick that falls due while a frame goes out is not lost; the run takes it afterwards.
    ticks_deferred_ += ticks;
    run_again_ = true;
    return;
  }
  ticks += std::exchange(ticks_deferred_, 0);
  std::weak_ptr<bool> alive = alive_;
  struct Running {
    TBACnetDataLinkPTP* link;
    std::weak_ptr<bool> alive;
    Running(TBACnetDataLinkPTP* l, std::weak_ptr<bool> a) : link(l), alive(std::move(a)) {
      link->running_ = true;
    }
    ~Running() {
      if (alive.expired()) return;
      link->running_ = false;
      // A set-up or close waiting on the connection machine looks at it again.
      if (link->condition_wait_) link->condition_wait_->Check();
    }
  } running(this, alive);
  // A call set up between two ticks has its carrier noted before it can be lost.
  if (ticks == 0) CheckCarrier();
  // Far more than any burst needs (each step takes a received frame, an NPDU or a state); a
  // bound all the same: the next event or tick goes on.
  constexpr int kMaxSteps = 1000;
  for (int steps = 0;;) {
    if (ticks > 0) {
      --ticks;
      timer_.SetEnabled(false);
      CheckCarrier();
      machines_.Tick(receiver_);
      if (alive.expired()) return;
      ClearIfFrameStarted();
      timer_.SetEnabled(true);
    }
    bool moved = true;
    while (moved && steps < kMaxSteps && !sending_) {
      run_again_ = false;
      moved = machines_.Step(receiver_) || run_again_;
      if (alive.expired()) return;
      ClearIfFrameStarted();
      ++steps;
    }
    ticks += std::exchange(ticks_deferred_, 0);
    if (sending_) {
      // Paused until the frame has drained; CheckDrained runs the machines on.
      ticks_deferred_ = ticks;
      run_again_ = true;
      return;
    }
    if (ticks == 0 && (!run_again_ || steps >= kMaxSteps)) break;
  }
}

void TBACnetDataLinkPTP::ClearIfFrameStarted() {
  if (!std::exchange(frame_started_, false)) return;
  if (machines_.ReceivedValidFrame || machines_.ReceivedInvalidFrame) run_again_ = true;
  machines_.ClearReceivedFrame();
}

void TBACnetDataLinkPTP::CheckCarrier() {
  // A modem that loses the call returns to command mode and echoes what it is sent, so our own
  // heartbeats would come back and keep a dead connection alive for ever. Only a carrier seen
  // and then lost counts: a cable without the carrier line must not drop a working call.
  if (!modem_line_up_ || !port_->Open()) return;
  if (port_->CarrierDetect()) {
    carrier_seen_ = true;
    return;
  }
  if (!carrier_seen_) return;
  modem_line_up_ = carrier_seen_ = false;
  if (machines_.ConnectionState == csDisconnected) return;
  Trace("CarrierLost(CC)");
  machines_.InboundTriggered = false;
  machines_.ConnectionState = csDisconnected;
}

void TBACnetDataLinkPTP::SendFrame(uint8_t type, const std::string& data) {
  receiver_.SilenceTimer = 0;
  std::string out;
  try {
    out = BuildPTPFrame(type, data);
  } catch (...) {
    // Nothing is expected to fail here; what was built is written.
  }
  port_->WriteString(out);
  Trace("Sending: " + BytesToBracketHex(out));
  if (OnCapture && (type == ptpData0 || type == ptpData1)) CaptureNPDU(true, data);
  // What the far end sent meanwhile is taken in now, as the nested wait used to: a frame
  // starting later, outside the run, would clear the indication the machines are about to
  // take. Runs asked for meanwhile wait for this frame.
  const bool behind = std::exchange(sending_, true);
  port_->ProcessEvents();
  if (!behind && port_->OutputUsed() == 0) {
    sending_ = false;
    FrameSent();
    if (run_again_ || ticks_deferred_ > 0) PostRun();
    return;
  }
  // Bounded by the time the frame needs on the line plus a margin, so that a stuck line (no
  // reader on the far end, flow stopped) cannot hold the machines for ever. A frame written
  // behind one still draining extends the wait.
  int baud = std::max(300, port_->Baud());
  int64_t limit = static_cast<int64_t>(out.size()) * 10 * 1000 / baud + 2000;
  int64_t deadline = loop_.NowMs() + limit;
  if (!behind || deadline > drain_deadline_) drain_deadline_ = deadline;
  drain_timer_.SetEnabled(true);
  // A pass of the loop is often all the device needs.
  PostDrainCheck();
}

void TBACnetDataLinkPTP::PostDrainCheck() {
  // Never from here: the caller may be a machine in the middle of its step.
  if (drain_posted_) return;
  drain_posted_ = true;
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    drain_posted_ = false;
    CheckDrained();
  });
}

void TBACnetDataLinkPTP::CheckDrained() {
  if (!sending_) {
    drain_timer_.SetEnabled(false);
    return;
  }
  if (port_->Open()) port_->ProcessEvents();
  if (port_->OutputUsed() > 0 && loop_.NowMs() < drain_deadline_) return;
  drain_timer_.SetEnabled(false);
  sending_ = false;
  FrameSent();
  // A frame that started meanwhile clears the indication left waiting, not the next one taken.
  ClearIfFrameStarted();
  RunMachines();
}

void TBACnetDataLinkPTP::FrameSent() {
  Trace("DataSent: " + std::to_string(port_->InputUsed()));
  machines_.HeartbeatTimer = 0;
}

}  // namespace zb::bacnet
