#include "driver/main_form.h"

#include <strings.h>

#include <algorithm>
#include <exception>

#include "bacnet/link/data_link_ptp.h"

namespace zb {

std::string ExitConfirmationText() {
  return std::string(
             "There are still active COM objects in this application.  One or more clients may "
             "have references to these objects, so manually closing ") +
         "this application may cause those client application(s) to fail." + "\n\n" +
         "Are you sure you want to close this application?";
}

TMainForm::TMainForm(platform::Desktop& desktop, const platform::ModemLineEmulations* emulations)
    : platform::Form(desktop, "MainForm", "TMainForm"),
      ProcessTimer(desktop.loop()),
      loop_(desktop.loop()),
      emulations_(emulations) {
  Caption = "BACnet Driver V1.70";
  Hint = kApplicationTitle;
  HideBtn.OnClick = [this] { Hide(); };
  Hide1.OnClick = [this] { Hide(); };
  Exit1.OnClick = [this] { Exit(); };
  OnCloseQuery = [this](bool& can_close) {
    if (ObjectCount && ObjectCount() > 0)
      can_close = this->desktop().Ask(kExitCaption, ExitConfirmationText());
  };
  OnClose = [this] {
    if (OnExit) OnExit();
  };
  // The application-wide handler: whatever escapes a handler on the loop lands in MessagePnl.
  loop_.OnHandlerException = [this](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      ShowException(x.what());
    } catch (...) {
      ShowException("Unknown exception");
    }
  };
  ProcessTimer.SetInterval(100);
  ProcessTimer.OnTimer = [this] { ProcessTimerTimer(); };
  ProcessTimer.SetEnabled(true);
}

TMainForm::~TMainForm() {
  *alive_ = false;
  ProcessTimer.SetEnabled(false);
  ProcessTimer.OnTimer = nullptr;
  loop_.OnHandlerException = nullptr;
  SessionRegistry.clear();
  sessions_.clear();
}

TBACnetForm* TMainForm::FindSession(const std::string& description) const {
  for (const auto& [name, session] : SessionRegistry)
    if (strcasecmp(name.c_str(), description.c_str()) == 0) return session;
  return nullptr;
}

TBACnetForm* TMainForm::FindOrCreateSession(const TConnectionInfo& info) {
  if (TBACnetForm* s = FindSession(info.Description)) return s;
  auto session = std::make_unique<TBACnetForm>(desktop(), this, emulations_);
  TBACnetForm* s = session.get();
  s->CopyInfo(info);
  // Messages for the user from a session's stack stay in the driver window's status panel.
  s->OnShowMessage = [this](const std::string& text) { MessagePnl.Caption = text; };
  // A session window frees itself once closed; the free is posted, as a window's release is,
  // because the close may be asked from inside one of the session's own handlers.
  s->OnClose = [this, s] {
    RemoveSession(s);
    loop_.Post([this, alive = alive_, handle = s->Handle(), s] {
      if (*alive && desktop().FromHandle(handle) == s) DestroySession(s);
    });
  };
  sessions_.push_back(std::move(session));
  SessionRegistry.emplace_back(info.Description, s);
  RefreshCount();
  return s;
}

void TMainForm::DestroySession(TBACnetForm* session) {
  RemoveSession(session);
  auto it = std::find_if(sessions_.begin(), sessions_.end(),
                         [session](const auto& p) { return p.get() == session; });
  if (it == sessions_.end()) return;
  std::unique_ptr<TBACnetForm> doomed = std::move(*it);
  sessions_.erase(it);
  doomed.reset();
}

void TMainForm::RemoveSession(TBACnetForm* session) {
  auto it = std::find_if(SessionRegistry.begin(), SessionRegistry.end(),
                         [session](const auto& e) { return e.second == session; });
  if (it == SessionRegistry.end()) return;
  SessionRegistry.erase(it);
  RefreshCount();
}

void TMainForm::RefreshCount() {
  size_t n = SessionRegistry.size();
  ConnectionsPnl.Caption = std::to_string(n) + (n == 1 ? " Connection" : " Connections");
}

void TMainForm::ShowException(const std::string& message) { MessagePnl.Caption = message; }

void TMainForm::ProcessTimerTimer() {
  // A session tick may process messages; the flag keeps a second tick from starting inside it.
  // The timer stays enabled: turning it off and on would restart its period at the end of every
  // tick, so each period would last the tick's own run time longer (and the timer grid's
  // rounding on top), slowing every session's scan.
  if (in_tick_) return;
  in_tick_ = true;
  std::vector<int> handles;
  for (platform::Form* f : Children())
    if (dynamic_cast<TBACnetForm*>(f)) handles.push_back(f->Handle());
  try {
    for (int h : handles) {
      // Looked up again: a session may have been freed while an earlier one waited.
      auto* session = dynamic_cast<TBACnetForm*>(desktop().FromHandle(h));
      // A closed session (waiting for its posted free) is no longer a window to serve.
      bool registered = std::any_of(SessionRegistry.begin(), SessionRegistry.end(),
                                    [session](const auto& e) { return e.second == session; });
      if (session && registered) session->Tick();
    }
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Unknown exception");
  }
  in_tick_ = false;
}

bool TMainForm::Exit() { return Close(); }

}  // namespace zb
