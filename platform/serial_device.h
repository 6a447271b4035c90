// Raw access to one serial tty (or pseudo-terminal): 8N1, no flow control, non-blocking I/O,
// modem lines through ioctls. Port numbers 1..64 map to device paths: ZELBACNET_COM<N> when set,
// else /dev/ttyS<N-1>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zb::platform {

// Counts of receive line errors as the driver reports them; all zero where the device keeps none.
struct SerialErrorCounts {
  uint32_t overrun = 0;
  uint32_t parity = 0;
  uint32_t framing = 0;
  uint32_t brk = 0;
  bool operator==(const SerialErrorCounts&) const = default;
};

// Modem lines for a device that has none (a pseudo-terminal): whoever plays the far end, for
// example a modem emulator in a test, can supply them for the device's path.
class ModemLineEmulation {
 public:
  virtual ~ModemLineEmulation() = default;
  virtual void SetDTR(bool on) = 0;
  virtual void SetRTS(bool on) = 0;
  virtual bool CarrierDetect() = 0;
};

// The modem lines that stand in for missing ones, by device path. Owned by whoever plays the far
// ends (a test's modem emulator); the devices it is handed to take their lines from here.
class ModemLineEmulations {
 public:
  // nullptr removes the path's emulation.
  void Set(const std::string& path, ModemLineEmulation* emulation);
  ModemLineEmulation* Find(const std::string& path) const;

 private:
  std::map<std::string, ModemLineEmulation*> map_;
};

class SerialDevice {
 public:
  // Not owned; nullptr: a device without modem lines has none.
  explicit SerialDevice(const ModemLineEmulations* emulations = nullptr)
      : emulations_(emulations) {}
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  static constexpr int kMaxPort = 64;
  // "" for a number outside 1..64.
  static std::string DevicePathForPort(int port);
  // True for the speeds the device can be set to (300..57600 in the usual steps).
  static bool IsSupportedBaud(int baud);

  // Opens and configures the device exclusively (a second open of the same device fails while
  // this one holds it). On failure returns false and sets *error.
  bool OpenPath(const std::string& path, int baud, std::string* error);
  bool OpenPort(int port, int baud, std::string* error);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  bool SetBaud(int baud);
  int baud() const { return baud_; }

  // Non-blocking; return the count transferred (0 when nothing could be), -1 on a hard error
  // (also a line that hung up).
  long Write(const void* data, size_t size);
  long Read(void* data, size_t size);
  // Octets accepted by the device but not yet on the line; 0 when the driver cannot tell.
  int OutputQueued() const;
  void FlushInput();
  void FlushOutput();

  // Modem lines. A device without them (a pseudo-terminal) and without an emulation ignores the
  // set and reports DCD on.
  void SetDTR(bool on);
  void SetRTS(bool on);
  bool DTR() const { return dtr_; }
  bool RTS() const { return rts_; }
  bool CarrierDetect() const;
  bool HasModemLines() const { return modem_lines_; }

  // False when the driver keeps no error counts (pseudo-terminals).
  bool ErrorCounts(SerialErrorCounts* counts) const;

 private:
  void SetModemLine(int bit, bool on);
  ModemLineEmulation* Emulation() const;

  const ModemLineEmulations* emulations_;
  int fd_ = -1;
  std::string path_;
  int baud_ = 9600;
  bool dtr_ = true;
  bool rts_ = true;
  bool modem_lines_ = false;
};

}  // namespace zb::platform
