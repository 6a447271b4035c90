// The serial port service the PTP link talks through: a numbered port with input and output
// buffers, modem lines, data and line-error triggers, waits that process messages, and events
// delivered on the message loop one at a time in the order they occurred.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/loop_wait.h"
#include "platform/message_loop.h"
#include "platform/serial_device.h"
#include "platform/task.h"

namespace zb::bacnet {

enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOptions { hwfNone };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TDeviceLayer { dlWin32 };
enum TTapiMode { tmOff, tmOn };

// Raised by Open(true) (and only there); every other operation fails softly.
struct TSerialPortError {
  int Code;
  std::string Message;
};

class TSerialPort {
 public:
  // emulations: modem lines for a device without them (a test's pseudo-terminal); not owned.
  explicit TSerialPort(platform::MessageLoop& loop,
                       const platform::ModemLineEmulations* emulations = nullptr);
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Settings. Character format and flow control are fixed at 8N1 without flow control; the
  // fields exist so the link can state them.
  int ComNumber = 0;  // changed only while closed
  TParity Parity = pNone;
  int DataBits = 8;
  int StopBits = 1;
  int InSize = 4096;
  int OutSize = 4096;
  THWFlowOptions HWFlowOptions = hwfNone;
  TSWFlowOptions SWFlowOptions = swfNone;
  TDeviceLayer DeviceLayer = dlWin32;
  bool AutoOpen = false;
  bool PromptForPort = false;
  TTapiMode TapiMode = tmOff;

  int Baud() const { return baud_; }
  void SetBaud(int baud);  // applied at once when open

  bool Open() const { return device_.IsOpen(); }
  // Opening throws TSerialPortError when the port does not exist or is in use; closing a closed
  // port is harmless.
  void SetOpen(bool open);

  bool DTR() const { return dtr_; }
  void SetDTR(bool on);
  bool RTS() const { return rts_; }
  void SetRTS(bool on);
  bool CarrierDetect() const;

  // Output: queued, returns at once. Octets beyond OutSize still queue (nothing is lost).
  void WriteOctet(uint8_t octet);
  void WriteString(const std::string& octets);
  // Octets still waiting to go out (buffered here or in the device); 0 when closed.
  int OutputUsed() const;

  // Input: octets received and not yet read; 0 when closed.
  int InputUsed() const;
  // Next received octet; 0 when none is waiting.
  uint8_t ReadOctet();
  void FlushInput();
  void FlushOutput();

  // Reads and consumes received octets until they contain text (case-insensitive) or `ticks`
  // service ticks of 55 ms have passed; the awaiting coroutine is suspended meanwhile. One wait
  // at a time per port; the task must not outlive the port.
  platform::Task<bool> WaitForString(std::string text, int ticks);
  // `list` holds texts separated by `separator`. Returns the 1-based position in the list of the
  // text received first, 0 on time-out.
  platform::Task<int> WaitForAnyString(std::string list, char separator, int ticks);
  // The text that WaitForAnyString last matched (empty after a time-out).
  const std::string& LastMatched() const { return last_matched_; }

  // Triggers. Handles are > 0. A data trigger fires OnTriggerData each time the received
  // octets contain its text (up to 21 octets; matches may span reads).
  int AddDataTrigger(const std::string& text, bool ignore_case);
  int AddLineErrorTrigger();
  // mask: 1 overrun, 2 parity, 4 framing, 8 break. A trigger fires once and stays disarmed
  // until armed again.
  void ArmLineErrorTrigger(int handle, int mask, bool active);
  void RemoveAllTriggers();

  // OnTriggerAvail fires whenever at least this many octets wait (kept across close/open).
  int ReceivedDataThreshold() const { return threshold_; }
  void SetReceivedDataThreshold(int octets) { threshold_ = octets < 1 ? 1 : octets; }

  // Reads what the device has now and delivers pending events (unless an event is being
  // delivered already further up the stack). Never blocks.
  void ProcessEvents();

  std::function<void(void* sender, int count)> OnTriggerAvail;
  std::function<void(void* sender, int handle)> OnTriggerData;
  std::function<void(void* sender, int handle, int errors)> OnTriggerLineError;

  const platform::SerialDevice& device() const { return device_; }
  platform::MessageLoop& loop() { return loop_; }

  static constexpr int kTickMs = 55;
  static constexpr int kMaxTriggerLength = 21;

 private:
  struct DataTrigger {
    int handle;
    std::string text;
    bool ignore_case;
  };
  struct LineErrorTrigger {
    int handle;
    int mask = 0;
    bool active = false;
  };
  struct Event {
    enum Kind { kData, kLineError } kind;
    int handle;
    int errors;
  };

  void ReadDevice(short revents = 0);
  void WriteDevice();
  void UpdateWatches();
  void CheckTriggers(const std::string& chunk);
  void CheckLineErrors();
  void DeliverEvents();
  void SchedulePost();
  // 1-based index of the text matched, 0 when the time ran out or the port closed.
  platform::Task<int> WaitForMatch(std::vector<std::string> texts, int ticks);

  platform::MessageLoop& loop_;
  platform::SerialDevice device_;
  int baud_ = 9600;
  bool dtr_ = true;
  bool rts_ = true;
  int threshold_ = 1;
  int read_watch_ = 0;
  int write_watch_ = 0;
  bool write_watch_on_ = false;
  bool read_watch_on_ = false;
  // The device hung up or failed: it stays silent until closed and opened again, instead of
  // reporting readiness for ever.
  bool dead_ = false;
  std::string in_;
  size_t in_pos_ = 0;
  std::string out_;
  std::vector<DataTrigger> data_triggers_;
  std::vector<LineErrorTrigger> error_triggers_;
  std::string trigger_tail_;
  platform::SerialErrorCounts last_errors_;
  int next_handle_ = 1;
  std::deque<Event> events_;
  bool avail_pending_ = false;
  bool delivering_ = false;
  bool post_pending_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::string last_matched_;
  platform::LoopWait* match_wait_ = nullptr;
};

}  // namespace zb::bacnet
