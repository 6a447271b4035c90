#include "tests/common/modem_emulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace zb::test {

ModemEmulator::ModemEmulator(platform::MessageLoop& loop, int master_fd,
                             const std::string& slave_path, platform::ModemLineEmulations* lines)
    : peer([this](const std::string& octets) {
        if (online_ && carrier_) Write(octets);
      }),
      loop_(loop),
      fd_(master_fd),
      slave_path_(slave_path),
      lines_(lines),
      guard_timer_(loop),
      dial_timer_(loop) {
  if (lines_) lines_->Set(slave_path_, this);
  watch_ = loop_.Watch(fd_, POLLIN, [this](int, short) {
    char buf[1024];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      Input(std::string(buf, static_cast<size_t>(n)));
    }
  });
  guard_timer_.OnTimer = [this] {
    guard_timer_.SetEnabled(false);
    if (pluses_ == 3 && online_ && honour_hangup) {
      online_ = false;  // command mode, the call stays up
      Respond("OK");
    }
    pluses_ = 0;
  };
}

ModemEmulator::~ModemEmulator() {
  if (lines_) lines_->Set(slave_path_, nullptr);
  loop_.Unwatch(watch_);
}

void ModemEmulator::Write(const std::string& octets) {
  size_t done = 0;
  while (done < octets.size()) {
    ssize_t n = ::write(fd_, octets.data() + done, octets.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

void ModemEmulator::Respond(const std::string& text) {
  if (responding) Write("\r\n" + text + "\r\n");
}

void ModemEmulator::HangUp() {
  if (carrier_) ++hangups;
  carrier_ = false;
  online_ = false;
  dial_timer_.SetEnabled(false);
}

void ModemEmulator::DropCarrier() {
  bool was = carrier_;
  HangUp();
  if (was) Respond("NO CARRIER");
}

void ModemEmulator::SetDTR(bool on) {
  dtr_changes.push_back(on);
  // &D2: dropping DTR hangs up and returns to command mode.
  if (dtr_ && !on && honour_hangup) HangUp();
  dtr_ = on;
}

void ModemEmulator::Input(const std::string& octets) {
  if (online_) {
    bool only_plus = std::all_of(octets.begin(), octets.end(), [](char c) { return c == '+'; });
    if (only_plus) {
      pluses_ += static_cast<int>(octets.size());
      if (pluses_ == 3) {
        guard_timer_.SetInterval(guard_ms);
        guard_timer_.SetEnabled(true);
      }
    } else {
      pluses_ = 0;
      guard_timer_.SetEnabled(false);
    }
    peer.Receive(octets);
    return;
  }
  if (!responding) return;
  for (char c : octets) {
    if (echo) Write(std::string(1, c));
    if (c == '\r') {
      std::string line = line_;
      line_.clear();
      if (!line.empty()) Command(line);
    } else if (c != '\n') {
      line_ += c;
    }
  }
}

void ModemEmulator::Command(const std::string& line) {
  commands.push_back(line);
  std::string up = line;
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (up.rfind("AT", 0) != 0) {
    Respond("ERROR");
    return;
  }
  if (up.rfind("ATDT", 0) == 0 || up.rfind("ATD", 0) == 0) {
    dialled = line.substr(up.rfind("ATDT", 0) == 0 ? 4 : 3);
    if (dial_result == Dial::kSilent) return;
    dial_timer_.SetInterval(dial_delay_ms);
    dial_timer_.OnTimer = [this] {
      dial_timer_.SetEnabled(false);
      switch (dial_result) {
        case Dial::kConnect:
          carrier_ = true;
          online_ = true;
          Respond("CONNECT 9600");
          break;
        case Dial::kBusy:
          Respond("BUSY");
          break;
        case Dial::kNoCarrier:
          Respond("NO CARRIER");
          break;
        case Dial::kNoDialtone:
          Respond("NO DIALTONE");
          break;
        case Dial::kSilent:
          break;
      }
    };
    dial_timer_.SetEnabled(true);
    return;
  }
  if (up.rfind("ATH", 0) == 0) {
    if (honour_hangup) HangUp();
    Respond("OK");
    return;
  }
  if (up == "ATO" && carrier_) {
    online_ = true;
    Respond("CONNECT 9600");
    return;
  }
  Respond("OK");
}

}  // namespace zb::test
