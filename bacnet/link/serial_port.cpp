#include "bacnet/link/serial_port.h"

#include <poll.h>

#include <algorithm>
#include <cctype>

namespace zb::bacnet {

namespace {

bool EqualOctet(char a, char b, bool ignore_case) {
  if (!ignore_case) return a == b;
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

bool EndsWith(const std::string& s, const std::string& tail, bool ignore_case) {
  if (tail.empty() || s.size() < tail.size()) return false;
  size_t off = s.size() - tail.size();
  for (size_t i = 0; i < tail.size(); ++i)
    if (!EqualOctet(s[off + i], tail[i], ignore_case)) return false;
  return true;
}

}  // namespace

TSerialPort::TSerialPort(platform::MessageLoop& loop,
                         const platform::ModemLineEmulations* emulations)
    : loop_(loop), device_(emulations) {}

TSerialPort::~TSerialPort() {
  *alive_ = false;
  SetOpen(false);
}

void TSerialPort::SetBaud(int baud) {
  baud_ = baud;
  if (device_.IsOpen()) device_.SetBaud(baud);
}

void TSerialPort::SetOpen(bool open) {
  if (!open) {
    if (read_watch_) loop_.Unwatch(read_watch_);
    if (write_watch_) loop_.Unwatch(write_watch_);
    read_watch_ = write_watch_ = 0;
    read_watch_on_ = write_watch_on_ = false;
    device_.Close();
    in_.clear();
    in_pos_ = 0;
    out_.clear();
    events_.clear();
    avail_pending_ = false;
    trigger_tail_.clear();
    // A wait for modem text ends with the port.
    if (match_wait_) match_wait_->Check();
    return;
  }
  if (device_.IsOpen()) return;
  std::string path = platform::SerialDevice::DevicePathForPort(ComNumber);
  if (path.empty()) throw TSerialPortError{2, "Invalid port number " + std::to_string(ComNumber)};
  std::string error;
  device_.SetDTR(dtr_);
  device_.SetRTS(rts_);
  if (!device_.OpenPath(path, baud_, &error)) throw TSerialPortError{5, error};
  device_.ErrorCounts(&last_errors_);
  dead_ = false;
  read_watch_ = loop_.Watch(device_.fd(), POLLIN, [this](int, short ev) { ReadDevice(ev); });
  read_watch_on_ = true;
  write_watch_ = loop_.Watch(device_.fd(), 0, [this](int, short) { WriteDevice(); });
  write_watch_on_ = false;
}

void TSerialPort::SetDTR(bool on) {
  dtr_ = on;
  device_.SetDTR(on);
}

void TSerialPort::SetRTS(bool on) {
  rts_ = on;
  device_.SetRTS(on);
}

bool TSerialPort::CarrierDetect() const { return device_.CarrierDetect(); }

void TSerialPort::WriteOctet(uint8_t octet) {
  WriteString(std::string(1, static_cast<char>(octet)));
}

void TSerialPort::WriteString(const std::string& octets) {
  if (!device_.IsOpen() || octets.empty()) return;
  out_ += octets;
  WriteDevice();
}

void TSerialPort::WriteDevice() {
  if (!device_.IsOpen()) return;
  while (!out_.empty() && !dead_) {
    long n = device_.Write(out_.data(), out_.size());
    if (n < 0) {
      dead_ = true;
      out_.clear();  // nowhere to go
    }
    if (n <= 0) break;
    out_.erase(0, static_cast<size_t>(n));
  }
  UpdateWatches();
}

int TSerialPort::OutputUsed() const {
  if (!device_.IsOpen()) return 0;
  return static_cast<int>(out_.size()) + device_.OutputQueued();
}

int TSerialPort::InputUsed() const {
  if (!device_.IsOpen()) return 0;
  return static_cast<int>(in_.size() - in_pos_);
}

uint8_t TSerialPort::ReadOctet() {
  if (in_pos_ >= in_.size()) return 0;
  uint8_t b = static_cast<uint8_t>(in_[in_pos_++]);
  if (in_pos_ == in_.size()) {
    in_.clear();
    in_pos_ = 0;
  }
  UpdateWatches();
  return b;
}

void TSerialPort::FlushInput() {
  device_.FlushInput();
  in_.clear();
  in_pos_ = 0;
  avail_pending_ = false;
  UpdateWatches();
}

void TSerialPort::FlushOutput() {
  device_.FlushOutput();
  out_.clear();
  UpdateWatches();
}

void TSerialPort::UpdateWatches() {
  if (!device_.IsOpen()) return;
  // Stop reading while the input buffer is full; the device holds the rest.
  bool want_read = InputUsed() < InSize && !dead_;
  if (want_read != read_watch_on_) {
    loop_.SetEvents(read_watch_, want_read ? POLLIN : 0);
    read_watch_on_ = want_read;
  }
  bool want_write = !out_.empty() && !dead_;
  if (want_write != write_watch_on_) {
    loop_.SetEvents(write_watch_, want_write ? POLLOUT : 0);
    write_watch_on_ = want_write;
  }
}

void TSerialPort::ReadDevice(short revents) {
  if (!device_.IsOpen() || dead_) return;
  char buf[512];
  bool got = false;
  while (InputUsed() < InSize) {
    size_t room = std::min(sizeof buf, static_cast<size_t>(InSize - InputUsed()));
    long n = device_.Read(buf, room);
    if (n < 0 || (n == 0 && !got && (revents & (POLLHUP | POLLERR)))) dead_ = true;
    if (n <= 0) break;
    std::string chunk(buf, static_cast<size_t>(n));
    if (in_pos_ > 0 && in_pos_ == in_.size()) {
      in_.clear();
      in_pos_ = 0;
    }
    in_ += chunk;
    CheckTriggers(chunk);
    got = true;
  }
  CheckLineErrors();
  if (got && match_wait_) match_wait_->Check();
  if (got && InputUsed() >= threshold_) avail_pending_ = true;
  UpdateWatches();
  if (avail_pending_ || !events_.empty()) SchedulePost();
}

void TSerialPort::CheckTriggers(const std::string& chunk) {
  if (data_triggers_.empty()) return;
  size_t keep = 0;
  for (const auto& t : data_triggers_) keep = std::max(keep, t.text.size());
  for (char c : chunk) {
    trigger_tail_ += c;
    if (trigger_tail_.size() > keep) trigger_tail_.erase(0, trigger_tail_.size() - keep);
    for (const auto& t : data_triggers_)
      if (EndsWith(trigger_tail_, t.text, t.ignore_case))
        events_.push_back(Event{Event::kData, t.handle, 0});
  }
}

void TSerialPort::CheckLineErrors() {
  platform::SerialErrorCounts now;
  if (!device_.ErrorCounts(&now) || now == last_errors_) return;
  int errors = 0;
  if (now.overrun != last_errors_.overrun) errors |= 1;
  if (now.parity != last_errors_.parity) errors |= 2;
  if (now.framing != last_errors_.framing) errors |= 4;
  if (now.brk != last_errors_.brk) errors |= 8;
  last_errors_ = now;
  for (auto& t : error_triggers_) {
    if (t.active && (t.mask & errors)) {
      t.active = false;  // fires once until armed again
      events_.push_back(Event{Event::kLineError, t.handle, errors});
    }
  }
}

void TSerialPort::SchedulePost() {
  if (post_pending_) return;
  post_pending_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    if (alive.expired()) return;
    post_pending_ = false;
    DeliverEvents();
  });
}

void TSerialPort::DeliverEvents() {
  // One at a time: a handler that waits and processes events further down does not get the
  // next event delivered inside it; the outermost delivery continues after it returns.
  if (delivering_) return;
  delivering_ = true;
  std::weak_ptr<bool> alive = alive_;
  // A handler that throws must not leave delivery blocked for good.
  struct Reset {
    TSerialPort* port;
    std::weak_ptr<bool> alive;
    ~Reset() {
      if (!alive.expired()) port->delivering_ = false;
    }
  } reset{this, alive};
  while (true) {
    if (!events_.empty()) {
      Event e = events_.front();
      events_.pop_front();
      if (e.kind == Event::kData) {
        if (OnTriggerData) OnTriggerData(this, e.handle);
      } else if (OnTriggerLineError) {
        OnTriggerLineError(this, e.handle, e.errors);
      }
    } else if (avail_pending_) {
      avail_pending_ = false;
      int count = InputUsed();
      if (count >= threshold_ && OnTriggerAvail) OnTriggerAvail(this, count);
    } else {
      break;
    }
    // A handler may have destroyed the port.
    if (alive.expired()) return;
  }
}

void TSerialPort::ProcessEvents() {
  ReadDevice();
  WriteDevice();
  if (!delivering_ && (avail_pending_ || !events_.empty())) DeliverEvents();
}

int TSerialPort::AddDataTrigger(const std::string& text, bool ignore_case) {
  if (text.empty()) return 0;
  int h = next_handle_++;
  data_triggers_.push_back(DataTrigger{h, text.substr(0, kMaxTriggerLength), ignore_case});
  return h;
}

int TSerialPort::AddLineErrorTrigger() {
  int h = next_handle_++;
  error_triggers_.push_back(LineErrorTrigger{h});
  return h;
}

void TSerialPort::ArmLineErrorTrigger(int handle, int mask, bool active) {
  for (auto& t : error_triggers_)
    if (t.handle == handle) {
      t.mask = mask;
      t.active = active;
    }
}

void TSerialPort::RemoveAllTriggers() {
  data_triggers_.clear();
  error_triggers_.clear();
  trigger_tail_.clear();
  // Events of removed triggers are not delivered any more.
  events_.clear();
}

platform::Task<bool> TSerialPort::WaitForString(std::string text, int ticks) {
  std::vector<std::string> texts;
  texts.push_back(std::move(text));
  const int index = co_await WaitForMatch(std::move(texts), ticks);
  co_return index != 0;
}

platform::Task<int> TSerialPort::WaitForAnyString(std::string list, char separator, int ticks) {
  std::vector<std::string> texts;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(separator, start);
    if (end == std::string::npos) end = list.size();
    texts.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  co_return co_await WaitForMatch(std::move(texts), ticks);
}

platform::Task<int> TSerialPort::WaitForMatch(std::vector<std::string> texts, int ticks) {
  last_matched_.clear();
  int index = 0;
  std::string seen;
  size_t keep = 1;
  for (const auto& t : texts) keep = std::max(keep, t.size());
  // Consumes what has arrived; true once a text matched or the port closed.
  auto scan = [&]() -> bool {
    while (InputUsed() > 0) {
      seen += static_cast<char>(ReadOctet());
      if (seen.size() > keep) seen.erase(0, seen.size() - keep);
      for (size_t i = 0; i < texts.size(); ++i) {
        if (EndsWith(seen, texts[i], true)) {
          index = static_cast<int>(i) + 1;
          last_matched_ = texts[i];
          return true;
        }
      }
    }
    return !device_.IsOpen();
  };
  ReadDevice();
  platform::LoopWait wait(loop_, static_cast<int64_t>(ticks) * kTickMs, scan);
  // Cleared however the wait ends, also when the awaiting task is destroyed meanwhile.
  struct Registered {
    platform::LoopWait*& slot;
    std::weak_ptr<bool> alive;
    ~Registered() {
      if (!alive.expired()) slot = nullptr;
    }
  } registered{match_wait_, alive_};
  match_wait_ = &wait;
  co_await wait;
  co_return index;
}

}  // namespace zb::bacnet
