// A connection session's window: a child window of the driver window that shows one site
// session (session/site_session.h): its trace and log views, its status panel and the discovery
// buttons. It refuses to close while the session is connected or busy.
#pragma once

#include <cstddef>
#include <string>

#include "platform/window.h"
#include "session/site_session.h"

namespace zb {

class TBACnetForm : public platform::Form, public TSiteSession {
 public:
  // emulations: handed to the site stack's serial port (see TSerialPort).
  explicit TBACnetForm(platform::Desktop& desktop, platform::Form* parent = nullptr,
                       const platform::ModemLineEmulations* emulations = nullptr);
  ~TBACnetForm() override;

  platform::CheckBox LogChk{*this, "LogChk", "Log Enabled", true};
  platform::Button Button1{*this, "Button1", "WhoIs"};
  platform::Button Button2{*this, "Button2", "WhoIsRouter"};
  platform::TextView LogMemo{*this, "LogMemo"};
  platform::TextView TraceMemo{*this, "TraceMemo"};
  platform::StatusPanel MessagePnl{*this, "MessagePnl"};

  void CopyInfo(const TConnectionInfo& info);
  // Channel 0 goes to the trace view, 1..3 to the log view, while logging is enabled.
  void LogLine(void* sender, const std::string& text, int channel) override;
  void WhoIsClick() { Stack.Discover(); }
  void WhoIsRouterClick() { Stack.Device.SendWhoIsRouterToNetwork(); }
};

// Longest line a session view keeps; longer ones are cut and end in "... (N characters)".
constexpr size_t kLogLineLimit = 1024;
std::string BoundedLogLine(const std::string& text);

}  // namespace zb
