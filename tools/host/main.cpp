// zelbacnet: the reference host. Drives the BACnet driver server the way a host application
// does (create, VERSIONCHECK, Connect, Execute and poll COMMANDSTATUS, Disconnect, release) and
// shows the driver window and its sessions live in a terminal.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/registration.h"
#include "platform/host_connection.h"
#include "session/command_kinds.h"
#include "tools/host/capture.h"
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
    "      Creates a driver object, sends VERSIONCHECK=1.7 and connects with the NAME=value\n"
    "      parameters, showing the driver's progress; a failed connect ends the run with exit\n"
    "      status 1 and its reason. Then runs each command after a ':' (its name, or\n"
    "      COMMAND=<name>, plus its parameters), polling COMMANDSTATUS until it is done, and\n"
    "      prints its result list, one element a line; then disconnects and releases the\n"
    "      object. A command written immediate:NAME goes through ExecuteImmediate instead.\n"
    "      When a step fails, the session's last log and trace lines follow.\n"
    "      --show shows the driver window (DEBUGMODE=TRUE); --keep skips the disconnect.\n"
    "      Exit status 0 when every step answered COMMANDSTATUS=TRUE, 1 otherwise.\n"
    "      Connect parameters: DESCRIPTION names the session; PANELTYPE=0 BACnet/IP with SP4\n"
    "      the driver's own IP address and IP1 its UDP port (47808); PANELTYPE=1 PTP with\n"
    "      COMPORT=N, BAUDRATE, and CONNECTIONTYPE=MODEM PHONENUMBER=... to dial; IP3 the APDU\n"
    "      time-out in ms, IP2 the driver's device instance.\n"
    "      Commands (upper case, as written): SITETIME SITESTATUS POINTVERIFY GETDATA\n"
    "      SENDPOINTSLIST GETPOINTSLIST POINTMODIFY POINTGETDISABLED POINTGETVALUE GETALARMS\n"
    "      GETTRENDDATA; immediate:SENDPOINTSLIST.\n"
    "      A BACnet/IP site on another subnet: BBMD=HOST[:PORT] (default port 47808)\n"
    "      registers the session there as a foreign device, BBMDTTL=SECONDS its\n"
    "      time-to-live (default 300); discovery then goes through that BBMD, and a\n"
    "      refusal or silence of the BBMD shows in the session's log.\n"
    "  view [--once] [--lines N]\n"
    "      Shows the driver window and its session windows live: status panels, connections,\n"
    "      each session's log and trace. Keys: w WhoIs, r WhoIsRouter, l Log Enabled,\n"
    "      n / p next / previous session, h Hide, x Exit (y / n answer its question), q quit.\n"
    "      --once prints one snapshot and ends; --lines the lines of each view (12).\n"
    "  press WINDOW CONTROL\n"
    "      Presses a control: WINDOW is main, a session's Description or a window number;\n"
    "      CONTROL e.g. Button1 (WhoIs), Button2 (WhoIsRouter), LogChk, HideBtn, Exit1.\n"
    "  capture SITE FILE\n"
    "      Streams the traffic of the session whose Description is SITE, both directions, as\n"
    "      a pcap file while it happens; FILE - is standard output, so that\n"
    "      `zelbacnet capture Plant - | wireshark -k -i -` watches it live. BACnet/IP as\n"
    "      Ethernet/IPv4/UDP frames with the real addresses and ports; PTP as the NPDUs the\n"
    "      line carried, in 802.2 LLC frames between 02:50:54:50:00:01 (the driver) and\n"
    "      02:50:54:50:00:02 (the far end of the serial line). Ends on Ctrl-C, when the\n"
    "      session goes or the reader stops; frames a slow reader could not take are\n"
    "      dropped by the server and counted.\n"
    "  raw JSON...\n"
    "      Sends each argument as one request line and prints each reply line.\n"
    "\n"
    "Point addresses, the second {...} of POINT=, name a device, an object and optionally a\n"
    "property: DEVICE-TYPE#INSTANCE[:PROPERTY], the present value when no property is given.\n"
    "Over BACnet/IP the device is its IP address: 10.47.9.2-AVAL#1 is Analog Value 1 of the\n"
    "device at 10.47.9.2. A device behind a router is its network number in brackets and its\n"
    "address there: [5]12-AIN#3:77 is the name of Analog Input 3 of station 12 on network 5.\n"
    "Over a PTP line the device at the far end is @<Local>: @<Local>-BIN#4. Object types: AIN\n"
    "AOUT AVAL BIN BOUT BVAL MSI MSO MSV TRN DEV, and more.\n"
    "\n"
    "Options:\n"
    "  --socket PATH      the driver server's socket (default: the registered one, else\n"
    "                     $XDG_RUNTIME_DIR/zelbacnet.sock or /tmp/zelbacnet-$UID/zelbacnet.sock)\n"
    "  --no-start         do not start the server when none answers (run starts it with\n"
    "                     --automation: it ends when this tool has released its object)\n"
    "  --timeout SECONDS  longest wait for one command (default 60)\n"
    "  --help             this text\n"
    "\n"
    "Examples, against the simulated site of `./run.sh site` (the driver at 10.47.9.1, site\n"
    "device 1001 at 10.47.9.2 with AV1, AI2, BV3, BI4, MSV5 and trend logs TL7, TL8):\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : COMMAND=SITESTATUS\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : COMMAND=POINTGETVALUE \\\n"
    "      'POINT={Boiler}{10.47.9.2-AVAL#1}{}{}'\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : COMMAND=POINTMODIFY \\\n"
    "      'POINT={Boiler}{10.47.9.2-AVAL#1}{VALUE=22.5}{}'\n"
    "  zelbacnet run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : SITETIME : GETDATA \\\n"
    "      DRIVERCOMMAND=GETPOINTSLIST\n"
    "  zelbacnet run --keep DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : \\\n"
    "      immediate:SENDPOINTSLIST 'POINT0={Outside}{10.47.9.2-AIN#2}{}{}' : "
    "COMMAND=GETPOINTSLIST\n"
    "  zelbacnet view --once\n"
    "  zelbacnet press Plant Button1\n"
    "(--keep leaves the session connected and its point list scanned, for view and press.)\n";

const char kTryHelp[] = "Try 'zelbacnet --help'.\n";

struct Options {
  std::string socket;
  bool start = true;
  int timeout_s = 60;
};

// A whole number in [min, max], or false.
bool ParseNumber(const char* text, int min, int max, int& out) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  out = static_cast<int>(v);
  return true;
}

// getopt_long over `args` (args[0] names the command), stopping at the first non-option.
// `handle` gets each option's value and its argument; answers false on a usage error.
template <typename Handle>
bool ParseOptions(const char* prefix, std::vector<std::string>& args, const option longs[],
                  Handle handle, size_t& first_operand) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  opterr = 0;
  optind = 0;  // GNU: start afresh for each argument vector
  int c;
  // "+": options end at the first operand; ":": a missing value is reported as such. Only the
  // program itself has a short option (-h).
  const char* shorts = std::string_view(prefix) == "zelbacnet" ? "+:h" : "+:";
  while ((c = getopt_long(static_cast<int>(args.size()), argv.data(), shorts, longs, nullptr)) !=
         -1) {
    const char* given =
        optind > 0 && optind <= static_cast<int>(args.size()) ? argv[optind - 1] : "?";
    if (c == ':') {
      const char* what = optopt == 's'   ? "a PATH"
                         : optopt == 't' ? "a number of SECONDS"
                                         : "a number N";
      std::fprintf(stderr, "%s: %s needs %s\n%s", prefix, given, what, kTryHelp);
      return false;
    }
    if (c == '?') {
      std::fprintf(stderr, "%s: unknown option %s\n%s", prefix, given, kTryHelp);
      return false;
    }
    if (!handle(c, optarg)) return false;
  }
  first_operand = static_cast<size_t>(optind);
  return true;
}

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

bool IsFinal(const std::string& status) {
  return status == "COMMANDSTATUS=TRUE" || status == "COMMANDSTATUS=FALSE";
}

// A trace line without the link's bracketed counters ("[12][C:0]...[0] Sent: ATDT1" → the text).
std::string TraceText(const std::string& line) {
  size_t at = 0;
  while (at < line.size() && line[at] == '[') {
    size_t close = line.find(']', at);
    if (close == std::string::npos) break;
    at = close + 1;
  }
  while (at < line.size() && line[at] == ' ') ++at;
  return line.substr(at);
}

class Runner {
 public:
  Runner(zb::host::HostLink& link, int object, int timeout_s, std::string description)
      : link_(link),
        object_(object),
        timeout_ms_(static_cast<int64_t>(timeout_s) * 1000),
        description_(std::move(description)) {}

  // Polls COMMANDSTATUS until TRUE or FALSE; prints and answers the final list.
  bool Collect(std::vector<std::string>& final_texts, std::string last = {}) {
    auto end = Now() + timeout_ms_;
    while (Now() < end) {
      std::vector<std::string> t = Execute("Execute", {"COMMAND=COMMANDSTATUS"});
      if (t.empty()) return false;
      if (IsFinal(t[0])) {
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

  // Sends Connect and, while the driver sets the line up, polls its progress on the same
  // connection: the status text and the session's new trace lines (the dial). A server that
  // answers the polls only after the Connect still gives the outcome and the lines, late.
  // Answers the outcome; `reason` gets COMMANDERROR or why the call failed.
  bool Connect(const std::vector<std::string>& params, std::string& reason) {
    std::string error;
    zb::host::SessionViews views;
    int seen =
        zb::host::ReadSessionViews(link_, description_, 0, views, error) ? views.trace_count : 0;
    std::printf("Connect:\n  Connecting...\n");
    std::fflush(stdout);
    int id = link_.SendCall(object_, "Connect", params, error);
    if (id == 0) {
      reason = error;
      return false;
    }
    std::string last = "COMMANDSTATUS=Connecting...";
    auto end = Now() + timeout_ms_;
    std::vector<std::string> outcome;
    bool refused = false;
    while (Now() < end) {
      std::vector<std::string> t = Execute("Execute", {"COMMAND=COMMANDSTATUS"});
      if (link_.Answered(id)) {
        zb::platform::Json r = link_.AwaitCall(id, error, 0);
        id = 0;
        if (r.kind() != zb::platform::Json::Kind::Bool || !r.AsBool()) {
          refused = true;
          reason = error.empty() ? "the driver refused the connect (no VERSIONCHECK?)" : error;
          break;
        }
      }
      if (t.empty()) {
        reason = "no answer from the driver server";
        break;
      }
      seen = PrintNewTrace(seen);
      if (IsFinal(t[0])) {
        outcome = t;
        break;
      }
      if (t[0] != last && t[0] != "COMMANDSTATUS=") {
        std::printf("  %s\n", zb::host::Printable(t[0].substr(14)).c_str());
        last = t[0];
      }
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (id != 0 && !refused) {
      zb::platform::Json r = link_.AwaitCall(id, error, static_cast<int>(timeout_ms_));
      if (r.kind() != zb::platform::Json::Kind::Bool || !r.AsBool()) {
        refused = true;
        if (reason.empty())
          reason = error.empty() ? "the driver refused the connect (no VERSIONCHECK?)" : error;
      }
    }
    if (refused) return false;
    if (outcome.empty()) {
      if (reason.empty()) reason = "timed out waiting for the connect";
      return false;
    }
    if (outcome[0] == "COMMANDSTATUS=TRUE") return true;
    reason = outcome.size() > 1 && StartsWith(outcome[1], "COMMANDERROR=")
                 ? outcome[1].substr(13)
                 : "the driver gave no reason";
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

  // The session's last log and trace lines, which usually say why a step failed.
  void PrintWhy() {
    std::string error;
    zb::host::SessionViews views;
    if (!zb::host::ReadSessionViews(link_, description_, kWhyLines, views, error)) return;
    auto print = [](const char* label, const std::vector<std::string>& lines) {
      if (lines.empty()) return;
      std::printf("  session %s, last lines:\n", label);
      for (const std::string& l : lines) std::printf("    %s\n", zb::host::Printable(l).c_str());
    };
    print("log", views.log);
    print("trace", views.trace);
  }

  std::vector<std::string> Execute(const std::string& method, const std::vector<std::string>& p) {
    std::string error;
    zb::platform::Json r = link_.Call(object_, method, p, error);
    if (!error.empty()) {
      std::fprintf(stderr, "zelbacnet: %s: %s\n", method.c_str(), error.c_str());
      return {};
    }
    std::vector<std::string> t = zb::host::ResultTexts(r);
    if (t.empty()) t.emplace_back();
    return t;
  }

  bool Bool(const std::string& method, const std::vector<std::string>& p) {
    std::string error;
    zb::platform::Json r = link_.Call(object_, method, p, error);
    if (!error.empty()) std::fprintf(stderr, "zelbacnet: %s: %s\n", method.c_str(), error.c_str());
    return r.kind() == zb::platform::Json::Kind::Bool && r.AsBool();
  }

 private:
  static constexpr int kWhyLines = 6;

  // Prints the trace lines added since `seen` (set-up lines, not the frames' octets); the new
  // count.
  int PrintNewTrace(int seen) {
    std::string error;
    zb::host::SessionViews views;
    if (!zb::host::ReadSessionViews(link_, description_, 50, views, error)) return seen;
    if (views.trace_count < seen) seen = 0;  // the view was emptied past its limit
    int fresh = std::min<int>(views.trace_count - seen, static_cast<int>(views.trace.size()));
    for (size_t i = views.trace.size() - static_cast<size_t>(fresh); i < views.trace.size(); ++i) {
      std::string text = TraceText(views.trace[i]);
      if (StartsWith(text, "Sending:") || StartsWith(text, "DataSent:") ||
          StartsWith(text, "SendPacket:"))
        continue;
      std::printf("  %s\n", zb::host::Printable(text).c_str());
    }
    return views.trace_count;
  }

  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  zb::host::HostLink& link_;
  int object_;
  int64_t timeout_ms_;
  std::string description_;
};

std::string ParamValue(const std::vector<std::string>& params, const std::string& name) {
  for (const std::string& p : params)
    if (StartsWith(p, (name + "=").c_str())) return p.substr(name.size() + 1);
  return {};
}

// When the driver did not know a command's name, the names it knows.
void ExplainUnknown(const std::string& method, const std::string& name) {
  if (method == "ExecuteImmediate") {
    if (name != "SENDPOINTSLIST")
      std::printf("  %s is not an immediate command; the one there is: SENDPOINTSLIST\n",
                  zb::host::Printable(name).c_str());
    return;
  }
  if (name == "COMMANDSTATUS" || zb::FindCommand(name)) return;
  std::string known, upper;
  for (const zb::TCommandKind& c : zb::AllCommands()) known += std::string(" ") + c.Name;
  for (char ch : name)
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
  std::printf("  unknown command %s; the known ones (case-sensitive):\n   %s\n",
              zb::host::Printable(name).c_str(), known.c_str());
  if (upper != name && zb::FindCommand(upper)) std::printf("  did you mean %s?\n", upper.c_str());
}

int Run(const Options& o, std::vector<std::string> args) {
  bool show = false, keep = false;
  static const option kRunOptions[] = {
      {"show", no_argument, nullptr, 'S'}, {"keep", no_argument, nullptr, 'k'}, {}};
  size_t first = 0;
  if (!ParseOptions(
          "zelbacnet run", args, kRunOptions,
          [&](int c, const char*) {
            if (c == 'S') show = true;
            if (c == 'k') keep = true;
            return c == 'S' || c == 'k';
          },
          first))
    return 2;
  std::vector<std::string> connect;
  std::vector<std::vector<std::string>> commands;
  bool in_command = false;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == ":") {
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
  Runner r(link, object, o.timeout_s, ParamValue(connect, "DESCRIPTION"));
  bool all_ok = true;
  std::printf("VERSIONCHECK=1.7: %s\n",
              r.Bool("Configure", {"VERSIONCHECK=1.7"}) ? "accepted" : "refused");
  if (show) r.Bool("Configure", {"DEBUGMODE=TRUE"});
  std::string reason;
  if (!r.Connect(connect, reason)) {
    // Commands on a site that is not connected would answer from the driver's own state
    // (SITETIME from this machine's clock), easily taken for the site's.
    std::printf("  not connected: %s\n", zb::host::Printable(reason).c_str());
    r.PrintWhy();
    std::fflush(stdout);
    link.Release(object, error);
    return 1;
  }
  std::printf("  connected\n");
  for (auto& cmd : commands) {
    if (cmd.empty()) continue;
    std::string method = "Execute";
    if (StartsWith(cmd[0], "immediate:")) {
      method = "ExecuteImmediate";
      cmd[0] = "COMMAND=" + cmd[0].substr(10);
    } else if (!StartsWith(cmd[0], "COMMAND=")) {
      cmd[0] = "COMMAND=" + cmd[0];
    }
    std::string name = cmd[0].substr(8);
    std::printf("%s %s:\n", method.c_str(), zb::host::Printable(name).c_str());
    bool ok = r.Command(method, cmd);
    if (!ok) {
      ExplainUnknown(method, name);
      r.PrintWhy();
    }
    all_ok = ok && all_ok;
    std::fflush(stdout);
  }
  if (!keep) {
    std::printf("Disconnect:\n");
    if (r.Bool("Disconnect", {})) {
      std::vector<std::string> dres;
      bool ok2 = r.Collect(dres);
      PrintResult(dres);
      if (!ok2) r.PrintWhy();
      all_ok = all_ok && ok2;
    }
  }
  link.Release(object, error);
  return all_ok ? 0 : 1;
}

// Connects to a server that already runs (these commands never start one); says why not.
bool OpenRunningServer(const Options& o, zb::host::HostLink& link) {
  std::string error;
  if (link.Open(ResolveSocket(o), false, error)) return true;
  std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
  return false;
}

int Raw(const Options& o, const std::vector<std::string>& args) {
  zb::host::HostLink link;
  if (!OpenRunningServer(o, link)) return 2;
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

int ViewOrPress(const Options& o, const std::string& cmd, std::vector<std::string> args) {
  bool once = false;
  int lines = 12;
  size_t first = 0;
  if (cmd == "view") {
    static const option kViewOptions[] = {
        {"once", no_argument, nullptr, 'o'}, {"lines", required_argument, nullptr, 'l'}, {}};
    if (!ParseOptions(
            "zelbacnet view", args, kViewOptions,
            [&](int c, const char* arg) {
              if (c == 'o') once = true;
              if (c != 'l') return c == 'o';
              if (ParseNumber(arg, 1, 1000, lines)) return true;
              std::fprintf(stderr,
                           "zelbacnet view: --lines needs a whole number from 1 to "
                           "1000, not '%s'\n",
                           arg);
              return false;
            },
            first))
      return 2;
    if (first != args.size()) {
      std::fprintf(stderr, "zelbacnet view: unexpected %s\n%s", args[first].c_str(), kTryHelp);
      return 2;
    }
  } else if (args.size() != 3) {
    std::fprintf(stderr, "zelbacnet press: needs WINDOW and CONTROL\n%s", kTryHelp);
    return 2;
  }
  zb::host::HostLink link;
  if (!OpenRunningServer(o, link)) return 2;
  if (cmd == "press") return zb::host::Press(link, args[1], args[2]);
  return zb::host::View(link, once, lines);
}

int CaptureCommand(const Options& o, const std::vector<std::string>& args) {
  if (args.size() != 3) {
    std::fprintf(stderr, "zelbacnet capture: needs SITE and FILE\n%s", kTryHelp);
    return 2;
  }
  zb::host::HostLink link;
  if (!OpenRunningServer(o, link)) return 2;
  return zb::host::Capture(link, args[1], args[2]);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv, argv + argc);
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                    {"socket", required_argument, nullptr, 's'},
                                    {"no-start", no_argument, nullptr, 'n'},
                                    {"timeout", required_argument, nullptr, 't'},
                                    {}};
  bool help = false;
  size_t first = 0;
  if (!ParseOptions(
          "zelbacnet", args, kOptions,
          [&](int c, const char* arg) {
            switch (c) {
              case 'h':
                help = true;
                return true;
              case 's':
                o.socket = arg;
                if (!o.socket.empty() && o.socket[0] != '-') return true;
                std::fprintf(stderr, "zelbacnet: --socket needs a PATH\n%s", kTryHelp);
                return false;
              case 'n':
                o.start = false;
                return true;
              case 't':
                if (ParseNumber(arg, 1, 86400, o.timeout_s)) return true;
                std::fprintf(stderr,
                             "zelbacnet: --timeout needs a whole number of seconds "
                             "from 1 to 86400, not '%s'\n",
                             arg);
                return false;
              default:
                return false;
            }
          },
          first))
    return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (first >= args.size()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string cmd = args[first];
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
  if (cmd == "run") return Run(o, rest);
  if (cmd == "raw") return Raw(o, {rest.begin() + 1, rest.end()});
  if (cmd == "view" || cmd == "press") return ViewOrPress(o, cmd, rest);
  if (cmd == "capture") return CaptureCommand(o, rest);
  std::fprintf(stderr, "zelbacnet: unknown command %s (run, view, press, capture, raw)\n%s",
               cmd.c_str(), kTryHelp);
  return 2;
}
