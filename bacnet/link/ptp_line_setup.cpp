// The session-facing side of the PTP link: published properties, opening and closing the line
// over a direct cable or a Hayes-command modem, and the hand-over to the connection machine.
#include <cctype>
#include <cstdio>

#include "bacnet/link/data_link_ptp.h"

namespace zb::bacnet {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Restores a handler on every way out of a scope.
template <typename F>
struct OnExit {
  F f;
  ~OnExit() { f(); }
};
template <typename F>
OnExit(F) -> OnExit<F>;

}  // namespace

void TBACnetDataLinkPTP::SetBaudRate(int rate) {
  baud_rate_ = rate;
  if (int speed = PTPBaudRateSpeed(rate)) port_->SetBaud(speed);
}

void TBACnetDataLinkPTP::ClosePortQuietly() {
  try {
    port_->SetOpen(false);
  } catch (...) {
  }
}

void TBACnetDataLinkPTP::SetComport(int port) {
  if (port <= 0 || port > platform::SerialDevice::kMaxPort) {
    comport_ = 0;
    ClosePortQuietly();
    return;
  }
  comport_ = port;
  bool was_open = port_->Open();
  try {
    port_->RemoveAllTriggers();
    port_->SetOpen(false);
  } catch (...) {
  }
  port_->ComNumber = port;
  if (!was_open) return;
  try {
    port_->SetOpen(true);
  } catch (...) {
    char text[64];
    std::snprintf(text, sizeof text, "COM%d is invalid or already in use.", port);
    if (OnShowMessage)
      OnShowMessage(text);
    else
      Trace(text);
    ClosePortQuietly();
  }
}

platform::Task<> TBACnetDataLinkPTP::SleepMs(int ms) { co_await platform::LoopWait(loop_, ms); }

platform::Task<> TBACnetDataLinkPTP::Pause(int ticks) {
  co_await SleepMs(ticks * TSerialPort::kTickMs);
}

platform::Task<> TBACnetDataLinkPTP::SendCommandString(std::string text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '$') {
      co_await Pause(5);
    } else if (c == '^' && i + 1 < text.size() &&
               std::isalpha(static_cast<unsigned char>(text[i + 1]))) {
      port_->WriteOctet(
          static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(text[i + 1])) - 64));
      ++i;
    } else if (c == '#' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      port_->WriteOctet(static_cast<uint8_t>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
      i += 2;
    } else {
      port_->WriteOctet(static_cast<uint8_t>(c));
    }
    co_await SleepMs(10);
  }
}

platform::Task<bool> TBACnetDataLinkPTP::Dial(std::string number) {
  // Modem responses must not reach the frame receiver.
  DetachAvail();
  std::weak_ptr<bool> alive = alive_;
  OnExit reattach{[this, alive] {
    if (!alive.expired()) AttachAvail();
  }};
  try {
    co_await Pause(5);
    port_->SetDTR(false);
    co_await Pause(5);
    port_->SetDTR(true);
    co_await Pause(5);
    port_->FlushInput();
    port_->FlushOutput();
    co_await SendCommandString("ATV1Q0\r");
    Trace("Sent: ATV1Q0");
    if (!co_await port_->WaitForString("OK", 54)) {
      Trace("Modem not responding");
      co_return false;
    }
    co_await Pause(5);
    port_->FlushInput();
    port_->FlushOutput();
    co_await SendCommandString("ATDT" + number + "\r");
    Trace("Sent: ATDT" + number);
    int index = co_await port_->WaitForAnyString(
        "CONNECT^BUSY^ERROR^NO CARRIER^NO DIALTONE^OK^RING", '^', 1620);
    if (index == 0) {
      Trace("Modem not responding");
      co_return false;
    }
    if (index == 1) {
      Trace("Modem Connected");
      co_await Pause(20);
      co_return true;
    }
    Trace("Modem Response: " + port_->LastMatched());
    co_return false;
  } catch (...) {
  }
  co_return false;
}

platform::Task<bool> TBACnetDataLinkPTP::HangUp() {
  try {
    co_await Pause(5);
    port_->WriteOctet('+');
    co_await Pause(3);
    port_->WriteOctet('+');
    co_await Pause(3);
    port_->WriteOctet('+');
    co_await Pause(10);
    co_await SendCommandString("ATH");
    port_->WriteOctet('\r');
    for (int i = 0; i < 4; ++i) {
      port_->SetDTR(false);
      co_await Pause(10);
      port_->SetDTR(true);
      co_await Pause(10);
      if (!port_->CarrierDetect()) co_return true;
    }
  } catch (...) {
  }
  co_return false;
}

bool TBACnetDataLinkPTP::SetActive(bool open) {
  if (open && comport_ == 0) return Active = true;
  if (open) {
    // Setting a line up waits on the modem and the far end: only Activate can do that.
    Trace("Line set-up needs Activate");
    Active = false;
    return false;
  }
  // Closed at once, without the hang-up and the disconnect exchange.
  modem_line_up_ = carrier_seen_ = false;
  timer_.SetEnabled(false);
  machines_.ConnectionState = csDisconnected;
  ClosePortQuietly();
  Active = false;
  return false;
}

platform::Task<bool> TBACnetDataLinkPTP::Activate(bool open) {
  bool active = false;
  if (open)
    active = co_await OpenLine();
  else
    co_await CloseLine();
  Active = active;
  co_return active;
}

platform::Task<bool> TBACnetDataLinkPTP::WaitUntil(std::function<bool()> cond, int64_t max_ms) {
  platform::LoopWait wait(loop_, max_ms, std::move(cond));
  struct Registered {
    platform::LoopWait*& slot;
    std::weak_ptr<bool> alive;
    ~Registered() {
      if (!alive.expired()) slot = nullptr;
    }
  } registered{condition_wait_, alive_};
  condition_wait_ = &wait;
  co_return co_await wait;
}

platform::Task<bool> TBACnetDataLinkPTP::OpenLine() {
  if (comport_ == 0) co_return true;
  bool result = false;
  modem_line_up_ = carrier_seen_ = false;
  try {
    try {
      port_->RemoveAllTriggers();
      port_->SetOpen(false);
    } catch (...) {
    }
    port_->ComNumber = comport_;
    port_->SetOpen(true);

    bool up = false;
    if (DirectConnect) {
      co_await SendCommandString(ConnectString);
      up = true;
    } else if (!PhoneNumber.empty()) {
      std::string init = ModemInit.empty() ? kDefaultModemInit : ModemInit;
      Trace("Modem Init: " + init);
      co_await SendCommandString(init + "\r");
      co_await Pause(20);
      if (co_await Dial(PhoneNumber)) {
        Trace("Connected");
        modem_line_up_ = true;
        if (!ConnectString.empty()) {
          co_await Pause(5);
          Trace("Connect String: " + ConnectString);
          co_await SendCommandString(ConnectString);
          co_await Pause(5);
        }
        up = true;
      }
    }
    if (!up) {
      modem_line_up_ = false;
      Trace("Close Port");
      ClosePortQuietly();
      co_return false;
    }

    co_await Pause(30);
    Trace("Result=TRUE");
    trigger_handle_ = port_->AddDataTrigger(std::string(kPTPTrigger), false);
    line_error_handle_ = port_->AddLineErrorTrigger();
    port_->ArmLineErrorTrigger(line_error_handle_, 15, true);
    port_->SetRTS(true);
    machines_.ClearReceivedFrame();
    // What was queued for an earlier connection (or while there was none) belongs to requests
    // the layers above have given up on; sent now, a write the host was told failed would
    // still be carried out.
    transmit_queue_.Clear();
    timer_.SetEnabled(true);
    machines_.OutboundRequested = true;
    machines_.RunConnectionMachine();
    // Bounded by the connection machine itself (four attempts 5 s apart); the limit here only
    // guards against a tick that never comes.
    co_await WaitUntil(
        [this] {
          return machines_.ConnectionState == csDisconnected ||
                 machines_.ConnectionState == csConnected;
        },
        60'000);
    if (machines_.ConnectionState == csConnected) {
      Trace("ConState: Connected");
      result = true;
    } else {
      Trace("ConState: Disconnected");
    }
    machines_.OutboundRequested = false;
  } catch (...) {
    result = false;
    Trace("Exception");
    ClosePortQuietly();
  }
  co_return result;
}

platform::Task<> TBACnetDataLinkPTP::CloseLine() {
  modem_line_up_ = carrier_seen_ = false;  // the hang-up below drops the carrier on purpose
  try {
    if (DirectConnect) {
      if (!DisconnectString.empty()) {
        co_await Pause(5);
        co_await SendCommandString(DisconnectString);
        co_await Pause(5);
      }
    } else if (port_->Open()) {
      for (int attempt = 1; attempt <= 3; ++attempt) {
        Trace("Hangup " + std::to_string(attempt));
        if (co_await HangUp()) break;
      }
    }
    machines_.DisconnectRequested = true;
    if (machines_.ConnectionState != csDisconnected) {
      machines_.ConnectionState = csConnected;
      machines_.RunConnectionMachine();
      co_await WaitUntil([this] { return machines_.ConnectionState == csDisconnected; }, 10'000);
    }
  } catch (...) {
  }
  machines_.DisconnectRequested = false;
}

}  // namespace zb::bacnet
