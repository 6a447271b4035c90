#include "bacnet/link/foreign_device.h"

#include <algorithm>
#include <cstdio>

namespace zb::bacnet {

namespace {

// Answers come from the next subnet or two; a BBMD that takes longer is as good as gone.
constexpr int kAnswerWaitMs = 3000;

std::string Header(int function, int length) {
  std::string m;
  m += static_cast<char>(0x81);
  m += static_cast<char>(function);
  m += static_cast<char>((length >> 8) & 0xFF);
  m += static_cast<char>(length & 0xFF);
  return m;
}

std::string CodeText(int code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", code & 0xFFFF);
  return buf;
}

}  // namespace

bool ParseBBMDAddress(const std::string& text, std::string& host, int& port) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return false;
  size_t e = text.find_last_not_of(" \t");
  std::string t = text.substr(b, e - b + 1);
  port = kDefaultBBMDPort;
  size_t colon = t.rfind(':');
  if (colon != std::string::npos) {
    std::string digits = t.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    int p = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      p = p * 10 + (c - '0');
    }
    if (p < 1 || p > 65535) return false;
    port = p;
    t.resize(colon);
  }
  if (t.empty()) return false;
  host = t;
  return true;
}

TForeignDeviceRegistration::TForeignDeviceRegistration(platform::MessageLoop& loop) : timer_(loop) {
  timer_.OnTimer = [this] { Timeout(); };
}

void TForeignDeviceRegistration::SetTimeToLive(int seconds) {
  ttl_ = std::clamp(seconds, 1, 65535);
}

int TForeignDeviceRegistration::RefreshMs() const { return std::max(1, ttl_ / 2) * 1000; }

int TForeignDeviceRegistration::AnswerWaitMs() const {
  return std::min(kAnswerWaitMs, RefreshMs());
}

std::string TForeignDeviceRegistration::RegisterMessage() const {
  std::string m = Header(kBVLCRegisterForeignDevice, 6);
  m += static_cast<char>((ttl_ >> 8) & 0xFF);
  m += static_cast<char>(ttl_ & 0xFF);
  return m;
}

std::string TForeignDeviceRegistration::DeleteMessage(const std::string& address) {
  std::string m = Header(kBVLCDeleteForeignDeviceTableEntry, 10);
  std::string a = address.substr(0, 6);
  a.resize(6, '\0');
  return m + a;
}

void TForeignDeviceRegistration::Start() {
  registered_ = false;
  settled_ = false;
  last_logged_.clear();
  SendRegistration();
}

bool TForeignDeviceRegistration::Stop() {
  timer_.SetEnabled(false);
  const bool had_entry = registered_ || waiting_;
  registered_ = waiting_ = false;
  settled_ = true;
  started_ = false;
  return had_entry;
}

void TForeignDeviceRegistration::SendRegistration() {
  started_ = true;
  waiting_ = true;
  Arm(AnswerWaitMs());
  if (OnSend) OnSend(RegisterMessage());
}

void TForeignDeviceRegistration::Arm(int ms) {
  timer_.SetEnabled(false);
  timer_.SetInterval(ms);
  timer_.SetEnabled(true);
}

void TForeignDeviceRegistration::Settle() {
  if (settled_) return;
  settled_ = true;
  if (OnSettled) OnSettled();
}

void TForeignDeviceRegistration::Timeout() {
  if (!started_) {
    timer_.SetEnabled(false);
    return;
  }
  if (!waiting_) {
    SendRegistration();
    return;
  }
  // Lost: try again soon, since the entry at the BBMD may be about to run out.
  waiting_ = false;
  if (!settled_) registered_ = false;
  Log("BBMD " + Peer + ": no answer to Register-Foreign-Device");
  Arm(AnswerWaitMs());
  Settle();
}

void TForeignDeviceRegistration::HandleResult(int code) {
  if (!started_) return;
  switch (code) {
    case kBVLCResultSuccess:
      // A success while nothing is awaited answers something else (a deletion).
      if (!waiting_) return;
      waiting_ = false;
      registered_ = true;
      Log("BBMD " + Peer + ": registered as foreign device, time-to-live " + std::to_string(ttl_) +
          " s");
      Arm(RefreshMs());
      Settle();
      return;
    case kBVLCResultRegisterNAK:
      waiting_ = false;
      registered_ = false;
      Log("BBMD " + Peer + ": Register-Foreign-Device NAK, result code " + CodeText(code));
      Arm(RefreshMs());
      Settle();
      return;
    case kBVLCResultDistributeNAK:
      // The BBMD no longer knows us (restarted, or our entry ran out): register at once.
      Log("BBMD " + Peer + ": Distribute-Broadcast-To-Network NAK, result code " + CodeText(code));
      registered_ = false;
      if (!waiting_) SendRegistration();
      return;
    default:
      Log("BBMD " + Peer + ": result code " + CodeText(code));
      return;
  }
}

void TForeignDeviceRegistration::Log(const std::string& text) {
  if (text == last_logged_) return;
  last_logged_ = text;
  if (OnLog) OnLog(text);
}

}  // namespace zb::bacnet
