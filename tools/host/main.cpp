// zelbacnet: the reference host. Drives the BACnet driver server the way a host application
// does (create, VERSIONCHECK, Connect, Execute and poll COMMANDSTATUS, Disconnect, release) and
// shows the driver window and its sessions live in a terminal.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "driver/registration.h"
#include "platform/host_connection.h"
#include "tools/host/host_link.h"
#include "tools/host/window_view.h"

namespace {

const char kUsage[] =
    "usage: zelbacnet [--socket PATH] [--no-start] [--timeout SECONDS] COMMAND ...\n"
    "\n"
    "The reference host of the BACnet driver server.\n"
    "\n"
    "Commands:\n"
    "  run [--show] [--keep] NAME=value... [: COMMAND NAME=value...]...\n"
    "      Creates a driver object, sends VERSIONCHECK=1.7, connects with the NAME=value\n"
    "      parameters and waits for the connect's outcome; then runs each command after a\n"
    "      ':' (COMMAND=<name> plus its parameters), polling COMMANDSTATUS until it is done,\n"
    "      and prints its result list, one element a line; then disconnects and releases the\n"
    "      object. A command written immediate:NAME goes through ExecuteImmediate instead.\n"
    "      --show shows the driver window (DEBUGMODE=TRUE); --keep skips the disconnect.\n"
    "      Exit status 0 when every step answered COMMANDSTATUS=TRUE, 1 otherwise.\n"
    "  view [--once] [--lines N]\n"
    "      Shows the driver window and its session windows live: status panels, connections,\n"
    "      each session's log and trace. Keys: w WhoIs, r WhoIsRouter, l Log Enabled,\n"
    "      n / p next / previous session, h Hide, x Exit (y / n answer its question), q quit.\n"
    "      --once prints one snapshot and ends.\n"
    "  press WINDOW CONTROL\n"
    "      Presses a control: WINDOW is main, a session's Description or a window number;\n"
    "      CONTROL e.g. Button1 (WhoIs), Button2 (WhoIsRouter), LogChk, HideBtn, Exit1.\n"
    "  raw JSON...\n"
    "      Sends each argument as one request line and prints each reply line.\n"
    "\n"
    "Options:\n"
    "  --socket PATH      the driver server's socket (default: the registered one, else\n"
    "                     $XDG_RUNTIME_DIR/zelbacnet.sock or /tmp/zelbacnet-$UID/zelbacnet.sock)\n"
    "  --no-start         do not start the server when none answers (run starts it with\n"
    "                     --automation: it ends when this tool has released its object)\n"
    "  --timeout SECONDS  longest wait for one command (default 60)\n"
    "\n"
    "Examples:\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 SP4=10.0.0.5 : COMMAND=SITESTATUS\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 : COMMAND=POINTGETVALUE 'POINT={p}{2-AIN#1}'\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 : immediate:SENDPOINTSLIST \\\n"
    "      'POINT0={a}{2-AIN#1}{}{}' : COMMAND=GETPOINTSLIST\n"
    "  zelbacnet run DESCRIPTION=Lab PANELTYPE=1 COMPORT=1 BAUDRATE=9600 : COMMAND=SITETIME\n"
    "  zelbacnet view\n"
    "  zelbacnet press Plant Button1\n";

struct Options {
  std::string socket;
  bool start = true;
  int timeout_s = 60;
};

std::string ResolveSocket(const Options& o) {
  if (!o.socket.empty()) return o.socket;
  zb::TRegistration reg;
  if (zb::ReadRegistration(reg) && !reg.Socket.empty()) return reg.Socket;
  return zb::platform::DefaultHostSocketPath();
}

void PrintResult(const std::vector<std::string>& texts) {
  for (size_t i = 0; i < texts.size(); ++i)
    std::printf("  [%zu] %s\n", i, zb::host::Printable(texts[i]).c_str());
}

bool StartsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

class Runner {
 public:
  Runner(zb::host::HostLink& link, int object, int timeout_s)
      : link_(link), object_(object), timeout_ms_(timeout_s * 1000) {}

  // Polls COMMANDSTATUS until TRUE or FALSE; prints and answers the final list.
  bool Collect(std::vector<std::string>& final_texts, std::string last = {}) {
    auto end = Now() + timeout_ms_;
    while (Now() < end) {
      std::vector<std::string> t = Execute("Execute", {"COMMAND=COMMANDSTATUS"});
      if (t.empty()) return false;
      if (t[0] == "COMMANDSTATUS=TRUE" || t[0] == "COMMANDSTATUS=FALSE") {
        final_texts = t;
        return t[0] == "COMMANDSTATUS=TRUE";
      }
      if (t[0] != last) {
        std::printf("  %s\n", zb::host::Printable(t[0]).c_str());
        last = t[0];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("  timed out waiting for the command\n");
    return false;
  }

  // Starts a command, retrying while another object holds the session.
  bool Command(const std::string& method, const std::vector<std::string>& params) {
    auto end = Now() + timeout_ms_;
    for (;;) {
      std::vector<std::string> t = Execute(method, params);
      if (t.empty()) return false;
      if (method == "ExecuteImmediate") {
        PrintResult(t);
        return t[0] == "COMMANDSTATUS=TRUE";
      }
      if (t[0] == "COMMANDSTATUS=Waiting for driver..." && Now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        continue;
      }
      if (t[0] == "COMMANDSTATUS=FALSE" || t[0] == "COMMANDSTATUS=Waiting for driver...") {
        PrintResult(t);
        return false;
      }
      if (t[0] == "COMMANDSTATUS=") {  // recognised, nothing queued
        PrintResult(t);
        return true;
      }
      std::printf("  %s\n", zb::host::Printable(t[0]).c_str());
      std::vector<std::string> result;
      bool ok = Collect(result, t[0]);
      PrintResult(result);
      return ok;
    }
  }

  std::vector<std::string> Execute(const std::string& method, const std::vector<std::string>& p) {
    std::string error;
    zb::platform::Json r = link_.Call(object_, method, p, error);
    if (!error.empty()) {
      std::fprintf(stderr, "zelbacnet: %s: %s\n", method.c_str(), error.c_str());
      return {};
    }
    return zb::host::ResultTexts(r);
  }

  bool Bool(const std::string& method, const std::vector<std::string>& p) {
    std::string error;
    zb::platform::Json r = link_.Call(object_, method, p, error);
    if (!error.empty()) std::fprintf(stderr, "zelbacnet: %s: %s\n", method.c_str(), error.c_str());
    return r.kind() == zb::platform::Json::Kind::Bool && r.AsBool();
  }

 private:
  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  zb::host::HostLink& link_;
  int object_;
  int64_t timeout_ms_;
};

int Run(const Options& o, const std::vector<std::string>& args) {
  bool show = false, keep = false;
  std::vector<std::string> connect;
  std::vector<std::vector<std::string>> commands;
  bool in_command = false;
  for (const std::string& a : args) {
    if (!in_command && a == "--show") {
      show = true;
    } else if (!in_command && a == "--keep") {
      keep = true;
    } else if (a == ":") {
      commands.emplace_back();
      in_command = true;
    } else if (in_command) {
      commands.back().push_back(a);
    } else {
      connect.push_back(a);
    }
  }
  zb::host::HostLink link;
  std::string error;
  if (!link.Open(ResolveSocket(o), o.start, error)) {
    std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
    return 2;
  }
  int object = link.Create(error);
  if (object < 0) {
    std::fprintf(stderr, "zelbacnet: create: %s\n", error.c_str());
    return 2;
  }
  Runner r(link, object, o.timeout_s);
  bool all_ok = true;
  std::printf("VERSIONCHECK=1.7: %s\n",
              r.Bool("Configure", {"VERSIONCHECK=1.7"}) ? "accepted" : "refused");
  if (show) r.Bool("Configure", {"DEBUGMODE=TRUE"});
  std::printf("Connect:\n");
  if (!r.Bool("Connect", connect)) {
    std::printf("  refused\n");
    all_ok = false;
  } else {
    std::vector<std::string> result;
    bool ok = r.Collect(result);
    std::printf("  %s\n", ok ? "connected" : "not connected");
    if (!ok) PrintResult(result);
    all_ok = all_ok && ok;
    for (auto& cmd : commands) {
      if (cmd.empty()) continue;
      std::string method = "Execute";
      if (StartsWith(cmd[0], "immediate:")) {
        method = "ExecuteImmediate";
        cmd[0] = "COMMAND=" + cmd[0].substr(10);
      } else if (!StartsWith(cmd[0], "COMMAND=")) {
        cmd[0] = "COMMAND=" + cmd[0];
      }
      std::printf("%s %s:\n", method.c_str(), cmd[0].substr(8).c_str());
      all_ok = r.Command(method, cmd) && all_ok;
    }
    if (!keep) {
      std::printf("Disconnect:\n");
      if (r.Bool("Disconnect", {})) {
        std::vector<std::string> dres;
        bool ok2 = r.Collect(dres);
        PrintResult(dres);
        all_ok = all_ok && ok2;
      }
    }
  }
  link.Release(object, error);
  return all_ok ? 0 : 1;
}

int Raw(const Options& o, const std::vector<std::string>& args) {
  zb::host::HostLink link;
  std::string error;
  if (!link.Open(ResolveSocket(o), false, error)) {
    std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
    return 2;
  }
  for (const std::string& a : args) {
    ssize_t n = write(link.fd(), (a + "\n").data(), a.size() + 1);
    (void)n;
    std::string line;
    char c;
    while (read(link.fd(), &c, 1) == 1 && c != '\n') line.push_back(c);
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--socket" && i + 1 < argc) {
      o.socket = argv[++i];
    } else if (a == "--no-start") {
      o.start = false;
    } else if (a == "--timeout" && i + 1 < argc) {
      o.timeout_s = std::max(1, std::atoi(argv[++i]));
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string cmd = argv[i++];
  std::vector<std::string> rest(argv + i, argv + argc);
  if (cmd == "run") return Run(o, rest);
  if (cmd == "raw") return Raw(o, rest);
  if (cmd == "view" || cmd == "press") {
    zb::host::HostLink link;
    std::string error;
    if (!link.Open(ResolveSocket(o), false, error)) {
      std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
      return 2;
    }
    if (cmd == "press") {
      if (rest.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      return zb::host::Press(link, rest[0], rest[1]);
    }
    bool once = false;
    int lines = 12;
    for (size_t k = 0; k < rest.size(); ++k) {
      if (rest[k] == "--once")
        once = true;
      else if (rest[k] == "--lines" && k + 1 < rest.size())
        lines = std::max(1, std::atoi(rest[++k].c_str()));
    }
    return zb::host::View(link, once, lines);
  }
  std::fprintf(stderr, "zelbacnet: unknown command %s\n\n%s", cmd.c_str(), kUsage);
  return 2;
}
