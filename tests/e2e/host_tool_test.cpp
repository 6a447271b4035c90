// The host tool as a newcomer meets it: every example of its help and of the README run as
// written against the simulated site of the demo; a failed connect stops the run with its
// reason; failed steps show the session's last lines; unknown command names list the known
// ones; a dialled PTP connect shows its progress; the exit question keeps its line breaks;
// option errors of both programs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/common/netns.h"
#include "tests/common/peer.h"
#include "tests/e2e/ptp_harness.h"
#include "tests/e2e/server_process.h"

namespace zb::e2e {
namespace {

using test::HostToolBinary;
using test::RunProgram;
using test::ServerBinary;
using test::ServerProcess;

bool ToolsBuilt() {
  return access(HostToolBinary().c_str(), X_OK) == 0 && access(ServerBinary().c_str(), X_OK) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Texts Lines(const std::string& text) {
  Texts out;
  std::stringstream s(text);
  for (std::string l; std::getline(s, l);) out.push_back(l);
  return out;
}

// The examples of `zelbacnet --help`: each starts with "  zelbacnet", a trailing "\" continues it.
Texts HelpExamples(const std::string& help) {
  Texts out;
  bool in_examples = false, continued = false;
  for (const std::string& l : Lines(help)) {
    if (l.rfind("Examples", 0) == 0) in_examples = true;
    if (!in_examples) continue;
    if (continued)
      out.back() += "\n" + l;
    else if (l.rfind("  zelbacnet ", 0) == 0)
      out.push_back(l);
    else
      continue;
    continued = !l.empty() && l.back() == '\\';
  }
  return out;
}

// The host tool's lines in the README's code blocks, with the build directory of this build.
Texts ReadmeExamples() {
  Texts out;
  bool in_block = false;
  const std::string prefix = "build/bin/zelbacnet ";
  for (const std::string& l : Lines(ReadFile(std::string(ZB_SOURCE_DIR) + "/README.md"))) {
    if (l.rfind("```", 0) == 0) in_block = !in_block;
    if (in_block && l.rfind(prefix, 0) == 0)
      out.push_back(std::string(ZB_BINARY_DIR) + "/bin/zelbacnet " + l.substr(prefix.size()));
  }
  return out;
}

// `run.sh site`'s simulated site and driver server, in a process group of its own.
class DemoSite {
 public:
  explicit DemoSite(const std::string& dir) : dir_(dir) {}
  ~DemoSite() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);  // the script's own clean-up removes its namespaces
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(50000);
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool Start(const Texts& env) {
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setsid();
      int fd = open((dir_ + "/demo.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      for (const std::string& e : env) putenv(strdup(e.c_str()));
      std::string script = std::string(ZB_SOURCE_DIR) + "/tools/demo/demo.sh";
      execl(script.c_str(), script.c_str(), "site", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 600; ++i) {
      if (Output().find("Ready.") != std::string::npos) return true;
      if (waitpid(pid_, nullptr, WNOHANG) != 0) break;
      usleep(50000);
    }
    return false;
  }
  std::string Output() const { return ReadFile(dir_ + "/demo.out"); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

TEST(HostToolExamples, EveryExampleOfTheHelpAndTheReadmeSucceedsAgainstTheSimulatedSite) {
  if (!ToolsBuilt()) GTEST_SKIP() << "build zelbacnet and zelbacnet-server first";
  if (!test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
  // The tool and anything it might start stay off the machine's network.
  ZB_REQUIRE_PRIVATE_NETWORK();
  ServerProcess scratch;  // for its temporary directory
  const std::string dir = scratch.dir();
  const Texts env = {"XDG_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir + "/config",
                     "ZB_BUILD_DIR=" + std::string(ZB_BINARY_DIR), "ZB_DEMO_LOGS=" + dir + "/logs",
                     "PATH=" + std::string(ZB_BINARY_DIR) + "/bin:" + std::getenv("PATH")};
  DemoSite site(dir);
  ASSERT_TRUE(site.Start(env)) << site.Output();
  EXPECT_NE(site.Output().find("10.47.9.2"), std::string::npos) << site.Output();

  std::string help;
  ASSERT_EQ(RunProgram({HostToolBinary(), "--help"}, help, 5000), 0);
  Texts examples = HelpExamples(help);
  Texts readme = ReadmeExamples();
  ASSERT_GE(examples.size(), 6u) << help;
  ASSERT_GE(readme.size(), 3u);
  examples.insert(examples.end(), readme.begin(), readme.end());
  for (const std::string& example : examples) {
    std::string out;
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", example}, out, 60000, env), 0)
        << example << "\n"
        << out << "\nsite: " << site.Output();
    if (example.find(" run ") != std::string::npos) {
      EXPECT_NE(out.find("  connected\n"), std::string::npos) << example << "\n" << out;
      EXPECT_EQ(out.find("COMMANDSTATUS=FALSE"), std::string::npos) << example << "\n" << out;
      // Progress, not the frames of a session that was already up.
      EXPECT_EQ(out.find("SendPacket"), std::string::npos) << example << "\n" << out;
    }
    if (example.find("POINTGETVALUE") != std::string::npos) {
      EXPECT_NE(out.find("VALUE="), std::string::npos) << out;
    }
    if (example.find("view --once") != std::string::npos) {
      EXPECT_NE(out.find("Plant - BACnet Connection"), std::string::npos) << out;
    }
  }
  // The site really was asked.
  std::string site_log = ReadFile(dir + "/logs/site-site.log");
  EXPECT_NE(site_log.find("\"read\""), std::string::npos) << site_log;
  EXPECT_NE(site_log.find("\"write\""), std::string::npos) << site_log;
}

// The server inside a private namespace of its own, so that no connect reaches the network.
#define ZB_START_PRIVATE_SERVER(server, net)                                       \
  if (!ToolsBuilt()) GTEST_SKIP() << "build zelbacnet and zelbacnet-server first"; \
  ZB_TEST_NETWORK(net, 1);                                                         \
  ServerProcess server;                                                            \
  ASSERT_TRUE(server.Start({}, net.Name(0))) << server.Log()

TEST(HostTool, AFailedConnectEndsTheRunWithItsReasonAndTheSessionLog) {
  ZB_START_PRIVATE_SERVER(server, net);
  std::string out;
  // No such address in the driver's namespace: the link cannot open.
  EXPECT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "run", "DESCRIPTION=Plant",
                        "PANELTYPE=0", "SP4=10.99.99.99", ":", "SITETIME", ":", "SITESTATUS"},
                       out, 20000),
            1);
  EXPECT_TRUE(InOrder(Lines(out), {"  Connecting...", "  Execpt: Cannot bind 10.99.99.99:47808",
                                   "  not connected: Could not connect to BACnet network.",
                                   "  session trace, last lines:", "Cannot bind"}))
      << out;
  // No command ran: SITETIME would have answered with this machine's clock.
  EXPECT_EQ(out.find("SITETIME"), std::string::npos) << out;
  EXPECT_EQ(out.find("SITESTATUS"), std::string::npos) << out;
  EXPECT_EQ(out.find("Disconnect"), std::string::npos) << out;
}

TEST(HostTool, AFailedCommandShowsTheSessionsLastTraceAndLogLines) {
  ZB_START_PRIVATE_SERVER(server, net);
  std::string out;
  // One octet as a device address names no BACnet/IP device.
  EXPECT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "run", "DESCRIPTION=Plant",
                        "PANELTYPE=0", "SP4=" + net.Address(0), "IP3=300", ":", "POINTGETVALUE",
                        "POINT={p}{2-AIN#1}{}{}", ":", "SENDDATA"},
                       out, 30000),
            1);
  Texts lines = Lines(out);
  EXPECT_TRUE(InOrder(
      lines, {"  connected", "Execute POINTGETVALUE:", "COMMANDSTATUS=FALSE",
              "  session trace, last lines:", "BadAddress", "Execute SENDDATA:", "Disconnect:"}))
      << out;
  // A step that went well prints nothing more.
  EXPECT_EQ(FindLine(lines, "  session", FindLine(lines, "Execute SENDDATA:")), -1) << out;
}

TEST(HostTool, UnknownCommandNamesGetTheListOfKnownOnes) {
  if (!ToolsBuilt()) GTEST_SKIP() << "build zelbacnet and zelbacnet-server first";
  ServerProcess server;
  ASSERT_TRUE(server.Start({})) << server.Log();
  std::string out;
  EXPECT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "run", "DESCRIPTION=Lab",
                        "PANELTYPE=1", "OFFLINE=TRUE", ":", "SITESTATS", ":", "sitestatus", ":",
                        "SITESTATUS", ":", "immediate:GETPOINTSLIST"},
                       out, 20000),
            1);
  Texts lines = Lines(out);
  int stats = FindLine(lines, "unknown command SITESTATS;");
  ASSERT_GE(stats, 0) << out;
  ASSERT_LT(stats + 1, static_cast<int>(lines.size()));
  for (const char* name : {" SITETIME", " SITESTATUS", " POINTGETVALUE", " GETTRENDDATA"})
    EXPECT_NE(lines[stats + 1].find(name), std::string::npos) << lines[stats + 1];
  EXPECT_EQ(FindLine(lines, "did you mean", stats), FindLine(lines, "did you mean")) << out;
  // The match stays case-sensitive: the lower-case name fails, with a hint.
  EXPECT_TRUE(
      InOrder(lines, {"Execute sitestatus:", "COMMANDSTATUS=FALSE", "unknown command sitestatus;",
                      "did you mean SITESTATUS?", "Execute SITESTATUS:", "COMMANDSTATUS=TRUE"}))
      << out;
  EXPECT_NE(FindLine(lines, "GETPOINTSLIST is not an immediate command"), -1) << out;
}

class HostToolPTP : public PTPServerTest {
 protected:
  // The tool run against the server while this process's loop plays the modem and the device.
  int RunTool(const Texts& args, std::string& out) {
    // --keep: hanging up takes seconds here, where the carrier line does not reach the server.
    Texts argv = {HostToolBinary(), "--socket", server.socket(), "run", "--keep"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, 60000, {}, [this] { Pump(5); });
  }
  Texts ToolParams() const {
    Texts p = ModemParams();
    p.insert(p.end(), {":", "POINTGETVALUE", kPoint});
    return p;
  }
};

TEST_F(HostToolPTP, ADialledConnectShowsConnectingAndTheDialProgress) {
  if (access(HostToolBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "build zelbacnet first";
  ModemToDevice();
  StartServer();
  std::string out;
  EXPECT_EQ(RunTool(ToolParams(), out), 0) << out << server.Log();
  EXPECT_TRUE(InOrder(
      Lines(out), {"Connect:", "  Connecting...", "  Sent: ATDT5551234", "  Modem Connected",
                   "  ConState: Connected", "  connected", "Execute POINTGETVALUE:", "VALUE=21.5"}))
      << out;
  // Frames are not progress.
  EXPECT_EQ(out.find("Sending:"), std::string::npos) << out;
}

TEST_F(HostToolPTP, ADialWithoutCarrierEndsTheRunWithTheDialsLines) {
  if (access(HostToolBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "build zelbacnet first";
  ModemToDevice();
  modem->dial_result = test::ModemEmulator::Dial::kNoCarrier;
  StartServer();
  std::string out;
  EXPECT_EQ(RunTool(ToolParams(), out), 1) << out;
  EXPECT_TRUE(
      InOrder(Lines(out), {"  Connecting...", "  Sent: ATDT5551234", "  Modem Response: NO CARRIER",
                           "  not connected: Could not "
                           "connect to BACnet network.",
                           "  session trace, last lines:", "Close Port"}))
      << out;
  EXPECT_EQ(out.find("POINTGETVALUE"), std::string::npos) << out;
}

// A server that answers while a Connect waits, its replies out of order: the tool shows the
// progress live, before the Connect's own reply. Played here by a scripted server.
class PipelinedServer {
 public:
  explicit PipelinedServer(const std::string& path) {
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ok_ = bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          listen(listen_, 1) == 0;
  }
  ~PipelinedServer() {
    if (fd_ >= 0) close(fd_);
    close(listen_);
  }
  bool ok() const { return ok_; }

  // Serves whatever has arrived, without waiting.
  void Serve() {
    if (fd_ < 0) fd_ = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd_ < 0) return;
    char b[4096];
    ssize_t n;
    while ((n = read(fd_, b, sizeof b)) > 0) buf_.append(b, static_cast<size_t>(n));
    for (size_t nl; (nl = buf_.find('\n')) != std::string::npos;) {
      std::string line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      Answer(line);
    }
  }

 private:
  static platform::Json Texts(const std::vector<std::string>& t) {
    platform::Json a = platform::Json::Array();
    for (const std::string& s : t) a.Push(platform::Json::String(s));
    return a;
  }
  void Reply(int64_t id, const char* name, platform::Json value) {
    platform::Json r = platform::Json::Object();
    r.Set("id", platform::Json::Integer(id));
    r.Set(name, std::move(value));
    std::string line = platform::WriteJson(r) + "\n";
    ASSERT_EQ(write(fd_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  platform::Json TraceWindow() const {
    platform::Json lines = platform::Json::Array();
    const char* dial[] = {"[1][C:0][T:0][R:0][0] Modem Init: ATZ",
                          "[1][C:0][T:0][R:0][0] Sending: [55][FF]",
                          "[2][C:0][T:0][R:0][0] Sent: ATDT5551234"};
    int count = std::min(polls_, 3);
    for (int i = 0; i < count; ++i) lines.Push(platform::Json::String(dial[i]));
    platform::Json trace = platform::Json::Object();
    trace.Set("name", platform::Json::String("TraceMemo"));
    trace.Set("count", platform::Json::Integer(count));
    trace.Set("lines", std::move(lines));
    platform::Json controls = platform::Json::Array();
    controls.Push(std::move(trace));
    platform::Json w = platform::Json::Object();
    w.Set("class", platform::Json::String("TBACnetForm"));
    w.Set("hint", platform::Json::String("Dial"));
    w.Set("controls", std::move(controls));
    platform::Json windows = platform::Json::Array();
    windows.Push(std::move(w));
    return windows;
  }
  void Answer(const std::string& line) {
    platform::Json j;
    std::string error;
    ASSERT_TRUE(platform::ParseJson(line, j, error)) << line;
    int64_t id = j.Find("id")->AsInteger();
    std::string op = j.Find("op")->AsString();
    if (op == "create") return Reply(id, "object", platform::Json::Integer(1));
    if (op == "release") return Reply(id, "released", platform::Json::Bool(true));
    if (op == "windows") return Reply(id, "windows", TraceWindow());
    std::string method = j.Find("method")->AsString();
    if (method == "Connect") {
      connect_id_ = id;  // answered only after three polls
      return;
    }
    if (method != "Execute") return Reply(id, "result", platform::Json::Bool(true));
    if (connect_id_ != 0 && ++polls_ <= 3) {
      return Reply(
          id, "result",
          Texts({polls_ == 3 ? "COMMANDSTATUS=Dialling..." : "COMMANDSTATUS=Connecting...", ""}));
    }
    if (connect_id_ != 0) {
      Reply(connect_id_, "result", platform::Json::Bool(true));
      connect_id_ = 0;
    }
    Reply(id, "result", Texts({"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  }

  int listen_ = -1, fd_ = -1;
  bool ok_ = false;
  std::string buf_;
  int64_t connect_id_ = 0;
  int polls_ = 0;
};

TEST(HostTool, ConnectProgressArrivesWhileTheConnectWaits) {
  if (access(HostToolBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "build zelbacnet first";
  ServerProcess scratch;  // for its temporary directory
  PipelinedServer server(scratch.dir() + "/pipelined.sock");
  ASSERT_TRUE(server.ok());
  std::string out;
  EXPECT_EQ(RunProgram({HostToolBinary(), "--socket", scratch.dir() + "/pipelined.sock",
                        "--no-start", "run", "--keep", "DESCRIPTION=Dial", "PANELTYPE=1"},
                       out, 20000, {}, [&] { server.Serve(); }),
            0)
      << out;
  EXPECT_EQ(out,
            "VERSIONCHECK=1.7: accepted\n"
            "Connect:\n"
            "  Connecting...\n"
            "  Modem Init: ATZ\n"
            "  Sent: ATDT5551234\n"
            "  Dialling...\n"
            "  connected\n");
}

TEST(HostTool, TheExitQuestionKeepsItsLineBreaksAndWrapsAtWords) {
  if (!ToolsBuilt()) GTEST_SKIP() << "build zelbacnet and zelbacnet-server first";
  ServerProcess server;
  ASSERT_TRUE(server.Start({})) << server.Log();
  test::HostClient person;
  person.loop = nullptr;
  ASSERT_TRUE(person.Connect(server.socket()));
  ASSERT_GT(person.Create(), 0);  // an object alive: Exit asks
  EXPECT_EQ(person.Ask(R"({"id":1,"op":"watch"})"), R"({"id":1,"watching":true})");
  std::string out;
  ASSERT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "press", "main", "Exit1"},
                       out, 5000),
            0)
      << out;
  platform::Json confirm;
  for (int i = 0; i < 100 && confirm.IsNull(); ++i) {
    platform::Json snap = person.AskJson(R"({"id":2,"op":"windows","lines":0})");
    if (const platform::Json* c = snap.Find("confirm")) confirm = *c;
    if (confirm.IsNull()) usleep(20000);
  }
  ASSERT_FALSE(confirm.IsNull());
  const std::string text = confirm.Find("text")->AsString();

  out.clear();
  ASSERT_EQ(RunProgram({HostToolBinary(), "--socket", server.socket(), "view", "--once"}, out, 5000,
                       {"COLUMNS=50"}),
            0)
      << out;
  Texts lines = Lines(out);
  int caption = FindLine(lines, "*** COM Server Warning ***");
  int answers = FindLine(lines, "[y] yes  [n] no");
  ASSERT_GE(caption, 0) << out;
  ASSERT_GT(answers, caption) << out;
  Texts shown(lines.begin() + caption + 1, lines.begin() + answers);
  // The two line breaks before the question are kept: an empty line, then the question alone.
  ASSERT_GE(shown.size(), 3u) << out;
  EXPECT_EQ(shown[shown.size() - 2], "") << out;
  EXPECT_EQ(shown.back(), "Are you sure you want to close this application?") << out;
  // Wrapped at words: every line fits, and the words are the text's own, none cut.
  std::string words_shown, words_text;
  for (const std::string& l : shown) {
    EXPECT_LE(l.size(), 50u) << l;
    words_shown += l + " ";
  }
  auto words = [](const std::string& s) {
    std::stringstream in(s);
    Texts w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
  };
  EXPECT_EQ(words(words_shown), words(text)) << out;
  EXPECT_GT(shown.size(), 5u) << out;  // the long first sentence did wrap

  EXPECT_EQ(person.Ask(R"({"id":3,"op":"answer","confirm":)" +
                       std::to_string(confirm.Find("id")->AsInteger()) + R"(,"yes":true})"),
            R"({"id":3,"answered":true})");
  EXPECT_EQ(server.Wait(5000), 0) << server.Log();
}

TEST(HostTool, OptionErrorsOfBothProgramsSayWhatIsWrong) {
  if (!ToolsBuilt()) GTEST_SKIP() << "build zelbacnet and zelbacnet-server first";
  struct Case {
    Texts argv;
    const char* says;
  };
  const std::string tool = HostToolBinary(), server = ServerBinary();
  const Case cases[] = {
      {{server, "--socket"}, "zelbacnet-server: --socket needs a PATH"},
      {{server, "--socket="}, "zelbacnet-server: --socket needs a PATH"},
      {{server, "--socket", "--automation"}, "zelbacnet-server: --socket needs a PATH"},
      {{server, "--bogus"}, "zelbacnet-server: unknown option --bogus"},
      {{server, "stray"}, "zelbacnet-server: unexpected argument stray"},
      {{tool, "--socket"}, "zelbacnet: --socket needs a PATH"},
      {{tool, "--timeout", "abc", "view"},
       "zelbacnet: --timeout needs a whole number of seconds from 1 to 86400, not 'abc'"},
      {{tool, "--timeout", "5x", "view"}, "not '5x'"},
      {{tool, "--timeout=0", "view"}, "not '0'"},
      {{tool, "--timeout", "99999999999", "view"}, "not '99999999999'"},
      {{tool, "--timeout"}, "zelbacnet: --timeout needs a number of SECONDS"},
      {{tool, "--bogus", "view"}, "zelbacnet: unknown option --bogus"},
      {{tool, "view", "--lines", "-3"}, "--lines needs a whole number from 1 to 1000, not '-3'"},
      {{tool, "view", "--lines"}, "zelbacnet view: --lines needs a number N"},
      {{tool, "run", "--shw", "DESCRIPTION=Lab"}, "zelbacnet run: unknown option --shw"},
      {{tool, "run", "-h"}, "zelbacnet run: unknown option -h"},
      {{tool, "press", "main"}, "zelbacnet press: needs WINDOW and CONTROL"},
      {{tool, "frobnicate"}, "zelbacnet: unknown command frobnicate"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunProgram(c.argv, out, 5000), 2) << c.argv.back() << ": " << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
  }
  // Good options in both forms still reach the command (here: no server there).
  ServerProcess scratch;
  std::string out;
  EXPECT_EQ(RunProgram({tool, "--timeout=5", "--socket", scratch.dir() + "/none.sock", "--no-start",
                        "view", "--lines=3", "--once"},
                       out, 5000),
            2);
  EXPECT_NE(out.find("no driver server at " + scratch.dir() + "/none.sock"), std::string::npos)
      << out;
}

}  // namespace
}  // namespace zb::e2e
