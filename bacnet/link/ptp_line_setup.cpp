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

void TBACnetDataLinkPTP::SleepMs(int ms) {
  std::weak_ptr<bool> alive = alive_;
  const int64_t deadline = loop_.NowMs() + ms;
  for (;;) {
    int64_t remaining = deadline - loop_.NowMs();
    if (remaining <= 0) break;
    loop_.WaitAndProcess(remaining);
    if (alive.expired() || loop_.quit_requested()) return;
  }
  loop_.ProcessMessages();
}

void TBACnetDataLinkPTP::Pause(int ticks) {
  std::weak_ptr<bool> alive = alive_;
  for (int i = 0; i < ticks && !alive.expired(); ++i) SleepMs(TSerialPort::kTickMs);
}

void TBACnetDataLinkPTP::SendCommandString(const std::string& text) {
  std::weak_ptr<bool> alive = alive_;
  for (size_t i = 0; i < text.size() && !alive.expired(); ++i) {
    char c = text[i];
    if (c == '$') {
      Pause(5);
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
    if (alive.expired()) return;
    SleepMs(10);
  }
}

bool TBACnetDataLinkPTP::Dial(const std::string& number) {
  // Modem responses must not reach the frame receiver.
  DetachAvail();
  std::weak_ptr<bool> alive = alive_;
  OnExit reattach{[this, alive] {
    if (!alive.expired()) AttachAvail();
  }};
  try {
    Pause(5);
    port_->SetDTR(false);
    Pause(5);
    port_->SetDTR(true);
    Pause(5);
    port_->FlushInput();
    port_->FlushOutput();
    SendCommandString("ATV1Q0\r");
    Trace("Sent: ATV1Q0");
    if (!port_->WaitForString("OK", 54)) {
      Trace("Modem not responding");
      return false;
    }
    Pause(5);
    port_->FlushInput();
    port_->FlushOutput();
    SendCommandString("ATDT" + number + "\r");
    Trace("Sent: ATDT" + number);
    int index =
        port_->WaitForAnyString("CONNECT^BUSY^ERROR^NO CARRIER^NO DIALTONE^OK^RING", '^', 1620);
    if (index == 0) {
      Trace("Modem not responding");
      return false;
    }
    if (index == 1) {
      Trace("Modem Connected");
      Pause(20);
      return true;
    }
    Trace("Modem Response: " + port_->LastMatched());
    return false;
  } catch (...) {
    return false;
  }
}

bool TBACnetDataLinkPTP::HangUp() {
  try {
    Pause(5);
    port_->WriteOctet('+');
    Pause(3);
    port_->WriteOctet('+');
    Pause(3);
    port_->WriteOctet('+');
    Pause(10);
    SendCommandString("ATH");
    port_->WriteOctet('\r');
    for (int i = 0; i < 4; ++i) {
      port_->SetDTR(false);
      Pause(10);
      port_->SetDTR(true);
      Pause(10);
      if (!port_->CarrierDetect()) return true;
    }
  } catch (...) {
  }
  return false;
}

bool TBACnetDataLinkPTP::SetActive(bool open) {
  Active = open ? OpenLine() : (CloseLine(), false);
  return Active;
}

bool TBACnetDataLinkPTP::OpenLine() {
  if (comport_ == 0) return true;
  std::weak_ptr<bool> alive = alive_;
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
      SendCommandString(ConnectString);
      up = true;
    } else if (!PhoneNumber.empty()) {
      std::string init = ModemInit.empty() ? kDefaultModemInit : ModemInit;
      Trace("Modem Init: " + init);
      SendCommandString(init + "\r");
      Pause(20);
      if (Dial(PhoneNumber)) {
        Trace("Connected");
        modem_line_up_ = true;
        if (!ConnectString.empty()) {
          Pause(5);
          Trace("Connect String: " + ConnectString);
          SendCommandString(ConnectString);
          Pause(5);
        }
        up = true;
      }
    }
    if (alive.expired()) return false;
    if (!up) {
      modem_line_up_ = false;
      Trace("Close Port");
      ClosePortQuietly();
      return false;
    }

    Pause(30);
    if (alive.expired()) return false;
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
    WaitUntil(
        [this] {
          return machines_.ConnectionState == csDisconnected ||
                 machines_.ConnectionState == csConnected;
        },
        60'000);
    if (alive.expired()) return false;
    if (machines_.ConnectionState == csConnected) {
      Trace("ConState: Connected");
      result = true;
    } else {
      Trace("ConState: Disconnected");
    }
    machines_.OutboundRequested = false;
  } catch (...) {
    if (alive.expired()) return false;
    result = false;
    Trace("Exception");
    ClosePortQuietly();
  }
  return result;
}

void TBACnetDataLinkPTP::CloseLine() {
  std::weak_ptr<bool> alive = alive_;
  modem_line_up_ = carrier_seen_ = false;  // the hang-up below drops the carrier on purpose
  try {
    if (DirectConnect) {
      if (!DisconnectString.empty()) {
        Pause(5);
        SendCommandString(DisconnectString);
        Pause(5);
      }
    } else if (port_->Open()) {
      for (int attempt = 1; attempt <= 3 && !alive.expired(); ++attempt) {
        Trace("Hangup " + std::to_string(attempt));
        if (HangUp()) break;
      }
    }
    if (alive.expired()) return;
    machines_.DisconnectRequested = true;
    if (machines_.ConnectionState != csDisconnected) {
      machines_.ConnectionState = csConnected;
      machines_.RunConnectionMachine();
      WaitUntil([this] { return machines_.ConnectionState == csDisconnected; }, 10'000);
      if (alive.expired()) return;
    }
  } catch (...) {
  }
  machines_.DisconnectRequested = false;
}

}  // namespace zb::bacnet
