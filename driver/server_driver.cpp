#include "driver/server_driver.h"

#include <cmath>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>

#include "driver/main_form.h"
#include "session/command_kinds.h"
#include "session/param_list.h"
#include "support/strings.h"

namespace zb {

namespace {
constexpr double kDriverVersion = 1.7;
constexpr double kVersionTolerance = 0.009;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

Variant FailedList() {
  return Variant::MakeList({Variant("COMMANDSTATUS=FALSE"), Variant(""), Variant("")});
}

std::string Text(const Variant& list, const char* name) {
  std::string v;
  FindParam(list, name, v);
  return v;
}

int32_t Int(const Variant& list, const char* name) {
  int32_t v = 0;
  FindIntParam(list, name, v);
  return v;
}
}  // namespace

TZelBACnetServerDriver::TZelBACnetServerDriver(TMainForm& mainForm) : main_form_(mainForm) {}

TZelBACnetServerDriver::~TZelBACnetServerDriver() {
  try {
    if (TBACnetForm* s = Session) {
      Session = nullptr;
      s->RemoveUser(this);
      // Only the last object that used the session asks its window to close (refused while the
      // network is open); the others keep it.
      if (s->UserCount() == 0) s->Close();
    }
  } catch (...) {
  }
}

void TZelBACnetServerDriver::SessionGone(TSiteSession* session) {
  if (Session == session) Session = nullptr;
}

void TZelBACnetServerDriver::BindSession(TBACnetForm* session) {
  if (Session == session) return;
  if (Session) Session->RemoveUser(this);
  Session = session;
  if (Session) Session->AddUser(this);
}

bool TZelBACnetServerDriver::Configure(const Variant& params) {
  try {
    std::string mode;
    if (FindParam(params, "DEBUGMODE", mode)) {
      mode = Upper(mode);
      if (mode == "TRUE")
        main_form_.Show();
      else if (mode == "FALSE")
        main_form_.Hide();
      else if (mode == "TOGGLE")
        main_form_.SetVisible(!main_form_.Visible());
      main_form_.loop().ProcessMessages();
      return true;
    }
    double version = 0;
    if (FindRealParam(params, "VERSIONCHECK", version)) {
      if (std::fabs(version - kDriverVersion) < kVersionTolerance) {
        VersionAccepted = true;
        return true;
      }
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

void TZelBACnetServerDriver::ReadConnectionInfo(const Variant& p) {
  TConnectionInfo& ci = ConnectionInfo;
  bool offline = false;
  FindBoolParam(p, "OFFLINE", offline);
  ci.Offline = offline;
  std::string type;
  ci.DirectConnect = !(FindParam(p, "CONNECTIONTYPE", type) && type == "MODEM");
  ci.ComPort = Int(p, "COMPORT");
  ci.BaudRate = Int(p, "BAUDRATE");
  ci.DeviceType = Text(p, "DEVICETYPE");
  ci.Logon = Text(p, "LOGON");
  ci.ModemInit = Text(p, "SP3");
  ci.Password = Text(p, "PASSWORD");
  ci.Description = Text(p, "DESCRIPTION");
  ci.PanelType = Int(p, "PANELTYPE");
  ci.PanelTypeName = PanelTypeName(ci.PanelType);
  ci.PanelTypeName2 = PanelTypeName2(ci.PanelType);
  ci.DisconnectString = Text(p, "SP2");
  ci.PhoneNumber = Text(p, "PHONENUMBER");
  ci.ConnectString = Text(p, "SP1");
  ci.ApduRetries = 1;
  ci.ApduTimeoutMs = Int(p, "IP3");
  ci.UDPPort = Int(p, "IP1");
  ci.DeviceInstance = Int(p, "IP2");
  ci.LocalHost = Text(p, "SP4");
  ci.BBMD = Text(p, "BBMD");
  ci.BBMDTimeToLive = Int(p, "BBMDTTL");
  double net = 0;
  FindRealParam(p, "FP1", net);
  net = std::floor(net);
  // A number that does not fit a network number reads as none rather than wrapping.
  ci.VirtualNetwork = (net >= -2147483648.0 && net <= 2147483647.0) ? static_cast<int32_t>(net) : 0;
}

bool TZelBACnetServerDriver::Connect(const Variant& params, std::function<void()> ended) {
  try {
    if (!VersionAccepted) return false;
    ReadConnectionInfo(params);
    TBACnetForm* session = main_form_.FindOrCreateSession(ConnectionInfo);
    BindSession(session);
    if (!session) return false;
    session->ConnectFor(this, std::move(ended));
    return true;
  } catch (...) {
    return false;
  }
}

bool TZelBACnetServerDriver::Disconnect(const Variant&) {
  try {
    if (!Session) return false;
    Session->DisconnectFor(this);
    return true;
  } catch (...) {
    return false;
  }
}

Variant TZelBACnetServerDriver::Execute(const Variant& params) {
  try {
    return ExecuteChecked(params);
  } catch (...) {
    return FailedList();
  }
}

Variant TZelBACnetServerDriver::ExecuteChecked(const Variant& params) {
  if (!Session) throw std::runtime_error("no session");
  TBACnetForm& s = *Session;
  Variant reply = Variant::MakeList({Variant("COMMANDSTATUS=FALSE"), Variant("")});
  if (s.Queue.Owner && s.Queue.Owner != this) {
    reply[0] = Variant("COMMANDSTATUS=Waiting for driver...");
    return reply;
  }
  std::string command;
  FindParam(params, "COMMAND", command);

  if (s.Queue.Owner == this) {
    if (command != "COMMANDSTATUS") {
      reply[0] = Variant("COMMANDSTATUS=Waiting for driver...");
    } else if (s.Queue.OperationState == 0 || s.Queue.OperationState == 1) {
      reply[0] = Variant("COMMANDSTATUS=" + s.Queue.StatusText);
    } else if (s.Queue.OperationState == 2) {
      std::vector<Variant> items;
      const Variant& result = s.Queue.CommandResult;
      items.reserve(3 + (result.IsArray() ? result.Elements().size() : 1));
      items.emplace_back("COMMANDSTATUS=TRUE");
      items.emplace_back("COMMAND=" + command);
      items.emplace_back(s.Queue.ErrorText.empty() ? std::string()
                                                   : "COMMANDERROR=" + s.Queue.ErrorText);
      if (result.IsArray()) {
        for (const Variant& e : result.Elements()) items.push_back(e);
      } else {
        items.emplace_back("");
      }
      reply = Variant::MakeList(std::move(items));
      s.Queue.Release(this);
    } else {
      reply[0] = Variant("COMMANDSTATUS=FALSE");
      if (!s.Queue.ErrorText.empty()) reply[1] = Variant("COMMANDERROR=" + s.Queue.ErrorText);
      s.Queue.Release(this);
    }
    return reply;
  }

  const TCommandKind* kind = FindCommand(command);
  if (kind && kind->Progress && s.Queue.CommandBusy()) {
    // No Owner, yet a worker still runs (its owner left): nothing may start before it has
    // ended, or its outcome would be taken for the new command's.
    reply[0] = Variant("COMMANDSTATUS=Waiting for driver...");
  } else if (kind) {
    if (kind->Progress) s.StartCommand(this, kind->Kind, params);
    reply[0] = Variant("COMMANDSTATUS=" + s.Queue.StatusText);
  } else if (!s.Queue.ErrorText.empty()) {
    reply[1] = Variant("COMMANDERROR=" + s.Queue.ErrorText);
  }
  return reply;
}

Variant TZelBACnetServerDriver::ExecuteImmediate(const Variant& params) {
  try {
    if (!Session) return FailedList();
    std::string command;
    FindParam(params, "COMMAND", command);
    if (command != "SENDPOINTSLIST") return FailedList();
    bool ok = Session->Points.InstallPointList(params, PointNames);
    return Variant::MakeList(
        {Variant(MakeBoolParam("COMMANDSTATUS", ok)), Variant(""), Variant("")});
  } catch (...) {
    return FailedList();
  }
}

bool TZelBACnetServerDriver::InvokeLater(const std::string& method, const Variant& params,
                                         Reply reply) {
  if (method != "Connect") return HostObject::InvokeLater(method, params, std::move(reply));
  // The host's Connect returns once the line is set up (or the set-up has failed), as it always
  // has; requests arriving meanwhile are served and see "Connecting...".
  auto replied = std::make_shared<bool>(false);
  auto answer = [reply, replied](bool result) {
    if (!std::exchange(*replied, true)) reply(Variant(result));
  };
  const bool ok = Connect(params, [answer] { answer(true); });
  if (!ok) answer(false);
  return true;
}

bool TZelBACnetServerDriver::Invoke(const std::string& method, const Variant& params,
                                    Variant& result) {
  if (method == "Configure")
    result = Variant(Configure(params));
  else if (method == "Connect")
    result = Variant(Connect(params));
  else if (method == "Disconnect")
    result = Variant(Disconnect(params));
  else if (method == "Execute")
    result = Execute(params);
  else if (method == "ExecuteImmediate")
    result = ExecuteImmediate(params);
  else
    return false;
  return true;
}

}  // namespace zb
