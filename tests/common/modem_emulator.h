// A Hayes-command modem on the master side of a pseudo-terminal, with a PTP peer behind it
// as the remote site. Command mode answers AT commands (verbose result codes); ATDT answers as
// scripted (CONNECT, BUSY, NO CARRIER, NO DIALTONE or nothing); in data mode octets pass to and
// from the peer; "+++" with a guard time returns to command mode; ATH and a DTR drop (&D2) hang
// up. DTR and DCD reach the code under test through the device's modem-line emulation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/serial_device.h"
#include "tests/common/ptp_peer.h"

namespace zb::test {

class ModemEmulator : public platform::ModemLineEmulation {
 public:
  enum class Dial { kConnect, kBusy, kNoCarrier, kNoDialtone, kSilent };

  // Supplies the modem lines of slave_path through `lines` (nullptr: a driver in another
  // process, whose port sees no lines).
  ModemEmulator(platform::MessageLoop& loop, int master_fd, const std::string& slave_path,
                platform::ModemLineEmulations* lines = nullptr);
  ~ModemEmulator() override;
  ModemEmulator(const ModemEmulator&) = delete;
  ModemEmulator& operator=(const ModemEmulator&) = delete;

  // Script.
  Dial dial_result = Dial::kConnect;
  int dial_delay_ms = 2000;  // from ATDT to the result
  bool responding = true;    // false: a modem that is switched off
  bool echo = true;
  bool honour_hangup = true;  // false: ignores +++, ATH and DTR drops
  int guard_ms = 400;         // silence after "+++" before it counts as an escape

  // The remote end of the call.
  PTPPeer peer;

  // What happened.
  std::vector<std::string> commands;  // every command line, as received
  std::vector<bool> dtr_changes;
  std::string dialled;
  bool carrier() const { return carrier_; }
  bool online() const { return online_; }  // data mode
  int hangups = 0;

  // The remote side hangs up or the line drops.
  void DropCarrier();

  // ModemLineEmulation
  void SetDTR(bool on) override;
  void SetRTS(bool) override {}
  bool CarrierDetect() override { return carrier_; }

 private:
  void Input(const std::string& octets);
  void Command(const std::string& line);
  void Respond(const std::string& text);
  void Write(const std::string& octets);
  void HangUp();

  platform::MessageLoop& loop_;
  int fd_;
  std::string slave_path_;
  platform::ModemLineEmulations* lines_;
  int watch_ = 0;
  std::string line_;
  bool carrier_ = false;
  bool online_ = false;
  int pluses_ = 0;
  platform::Timer guard_timer_;
  platform::Timer dial_timer_;
  bool dtr_ = true;
};

}  // namespace zb::test
