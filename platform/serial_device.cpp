#include "platform/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zb::platform {

namespace {

speed_t SpeedCode(int baud) {
  switch (baud) {
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    default:
      return 0;
  }
}

}  // namespace

void ModemLineEmulations::Set(const std::string& path, ModemLineEmulation* emulation) {
  if (emulation)
    map_[path] = emulation;
  else
    map_.erase(path);
}

ModemLineEmulation* ModemLineEmulations::Find(const std::string& path) const {
  auto it = map_.find(path);
  return it == map_.end() ? nullptr : it->second;
}

ModemLineEmulation* SerialDevice::Emulation() const {
  if (fd_ < 0 || modem_lines_ || !emulations_) return nullptr;
  return emulations_->Find(path_);
}

SerialDevice::~SerialDevice() { Close(); }

std::string SerialDevice::DevicePathForPort(int port) {
  if (port < 1 || port > kMaxPort) return "";
  std::string name = "ZELBACNET_COM" + std::to_string(port);
  if (const char* env = std::getenv(name.c_str()); env && *env) return env;
  return "/dev/ttyS" + std::to_string(port - 1);
}

bool SerialDevice::IsSupportedBaud(int baud) { return SpeedCode(baud) != 0; }

bool SerialDevice::OpenPort(int port, int baud, std::string* error) {
  std::string path = DevicePathForPort(port);
  if (path.empty()) {
    if (error) *error = "port number " + std::to_string(port) + " out of range";
    return false;
  }
  return OpenPath(path, baud, error);
}

bool SerialDevice::OpenPath(const std::string& path, int baud, std::string* error) {
  Close();
  auto fail = [&](const char* what) {
    if (error) *error = path + ": " + what + ": " + std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
  };
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return fail("open");
  if (!::isatty(fd_)) {
    errno = ENOTTY;
    return fail("not a terminal");
  }
  // In use by another open (ours or another process's).
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return fail("in use");

  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return fail("tcgetattr");
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | PARMRK);
  tio.c_iflag |= IGNBRK;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  speed_t code = SpeedCode(baud) ? SpeedCode(baud) : B9600;
  ::cfsetispeed(&tio, code);
  ::cfsetospeed(&tio, code);
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return fail("tcsetattr");
  baud_ = SpeedCode(baud) ? baud : 9600;
  path_ = path;

  int bits = 0;
  modem_lines_ = ::ioctl(fd_, TIOCMGET, &bits) == 0;
  SetModemLine(TIOCM_DTR, dtr_);
  SetModemLine(TIOCM_RTS, rts_);
  ::tcflush(fd_, TCIOFLUSH);
  return true;
}

void SerialDevice::Close() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  modem_lines_ = false;
}

bool SerialDevice::SetBaud(int baud) {
  speed_t code = SpeedCode(baud);
  if (!code) return false;
  baud_ = baud;
  if (fd_ < 0) return true;
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return false;
  ::cfsetispeed(&tio, code);
  ::cfsetospeed(&tio, code);
  return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
}

long SerialDevice::Write(const void* data, size_t size) {
  if (fd_ < 0) return -1;
  if (size == 0) return 0;
  for (;;) {
    ssize_t n = ::write(fd_, data, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

long SerialDevice::Read(void* data, size_t size) {
  if (fd_ < 0) return -1;
  if (size == 0) return 0;
  for (;;) {
    ssize_t n = ::read(fd_, data, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    // EIO: hung up (a pseudo-terminal whose other side closed, an adapter unplugged).
    return -1;
  }
}

int SerialDevice::OutputQueued() const {
  if (fd_ < 0) return 0;
  int n = 0;
  if (::ioctl(fd_, TIOCOUTQ, &n) != 0 || n < 0) return 0;
  return n;
}

void SerialDevice::FlushInput() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

void SerialDevice::FlushOutput() {
  if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
}

void SerialDevice::SetModemLine(int bit, bool on) {
  if (auto* e = Emulation()) {
    if (bit == TIOCM_DTR) e->SetDTR(on);
    if (bit == TIOCM_RTS) e->SetRTS(on);
    return;
  }
  if (fd_ < 0 || !modem_lines_) return;
  ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void SerialDevice::SetDTR(bool on) {
  dtr_ = on;
  SetModemLine(TIOCM_DTR, on);
}

void SerialDevice::SetRTS(bool on) {
  rts_ = on;
  SetModemLine(TIOCM_RTS, on);
}

bool SerialDevice::CarrierDetect() const {
  if (fd_ < 0) return false;
  if (auto* e = Emulation()) return e->CarrierDetect();
  int bits = 0;
  if (!modem_lines_ || ::ioctl(fd_, TIOCMGET, &bits) != 0) return true;
  return (bits & TIOCM_CAR) != 0;
}

bool SerialDevice::ErrorCounts(SerialErrorCounts* counts) const {
  if (fd_ < 0) return false;
  serial_icounter_struct ic{};
  if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) return false;
  counts->overrun = static_cast<uint32_t>(ic.overrun + ic.buf_overrun);
  counts->parity = static_cast<uint32_t>(ic.parity);
  counts->framing = static_cast<uint32_t>(ic.frame);
  counts->brk = static_cast<uint32_t>(ic.brk);
  return true;
}

}  // namespace zb::platform
