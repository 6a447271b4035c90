// The driver window: the frame that hosts one session window per site, the registry of sessions
// by Description, and the 100 ms timer that drives every session.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "platform/window.h"
#include "session/bacnet_form.h"
#include "session/connection_info.h"

namespace zb {

inline constexpr const char* kApplicationTitle = "BACnet Interface Driver";
inline constexpr const char* kExitCaption = "COM Server Warning";
// The exit question, exactly as a person sees it.
std::string ExitConfirmationText();

class TMainForm : public platform::Form {
 public:
  // emulations: modem lines for the sessions' serial ports that lack them (tests); not owned.
  explicit TMainForm(platform::Desktop& desktop,
                     const platform::ModemLineEmulations* emulations = nullptr);
  ~TMainForm() override;

  platform::Button HideBtn{*this, "HideBtn", "Hide", "Hide Driver"};
  platform::MenuItem Hide1{*this, "Hide1", "File", "Hide"};
  platform::MenuItem Exit1{*this, "Exit1", "File", "Exit"};
  platform::StatusPanel MessagePnl{*this, "MessagePnl"};
  platform::StatusPanel ConnectionsPnl{*this, "ConnectionsPnl", "0 Connections"};
  platform::Timer ProcessTimer;

  // Description (as given) → session, in insertion order.
  std::vector<std::pair<std::string, TBACnetForm*>> SessionRegistry;

  TBACnetForm* FindOrCreateSession(const TConnectionInfo& info);
  void RemoveSession(TBACnetForm* session);
  void RefreshCount();
  // The registered session of that Description (letter case ignored), or nullptr.
  TBACnetForm* FindSession(const std::string& description) const;

  void ProcessTimerTimer();
  // The application-wide exception display: the message goes to MessagePnl, never a dialog.
  void ShowException(const std::string& message);

  // "Exit": closes the window after the confirmation while host objects exist; true when it
  // closed (OnExit has run).
  bool Exit();
  // Live host objects (asked by Exit).
  std::function<int()> ObjectCount;
  // The window closed: the process ends.
  std::function<void()> OnExit;

  platform::MessageLoop& loop() { return loop_; }

 private:
  platform::MessageLoop& loop_;
  const platform::ModemLineEmulations* emulations_;
  // Read by the posted frees of session windows, which may run after this window is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::vector<std::unique_ptr<TBACnetForm>> sessions_;  // the application owns the session windows
  bool in_tick_ = false;
  void DestroySession(TBACnetForm* session);
};

}  // namespace zb
