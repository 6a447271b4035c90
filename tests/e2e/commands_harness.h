// End-to-end harness for the host commands: the driver server runs as a process in host 0 of a
// private test network, site devices (the independent peer, tests/peer/site.js) in the other
// hosts, and the test is the host, talking to the server over its Unix socket.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/host_client.h"
#include "tests/common/netns.h"
#include "tests/common/peer.h"
#include "tests/common/wire_capture.h"

namespace zb::e2e {

using Texts = std::vector<std::string>;

inline std::string ServerPath() { return std::string(ZB_BINARY_DIR) + "/bin/zelbacnet-server"; }

// The driver server inside a namespace; its output goes to a log file kept for failures.
class ServerProcess {
 public:
  ~ServerProcess() { Kill(); }
  bool Start(const std::string& netns, const std::string& socket, const std::string& log) {
    log_ = log;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      int null = open("/dev/null", O_RDONLY);
      if (null >= 0) dup2(null, 0);
      const std::string bin = ServerPath();
      execlp("ip", "ip", "netns", "exec", netns.c_str(), bin.c_str(), "--socket", socket.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
    return true;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // SIGTERM to the server alone; true when it ended within timeout_ms.
  bool Stop(int timeout_ms) {
    if (pid_ <= 0) return false;
    kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::string LogText() const {
    std::string s;
    if (FILE* f = fopen(log_.c_str(), "r")) {
      char b[4096];
      size_t n;
      while ((n = fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
      fclose(f);
    }
    return s.size() > 4000 ? s.substr(s.size() - 4000) : s;
  }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

// A skip or fatal failure inside StartSite returns from StartSite alone; the test must end too.
#define ZB_START_SITE(...)                        \
  do {                                            \
    StartSite(__VA_ARGS__);                       \
    if (IsSkipped() || HasFatalFailure()) return; \
  } while (0)

// A site: the test network, the server in host 0, the host connection and one armed,
// connected driver object.
class CommandsTest : public ::testing::Test {
 protected:
  // hosts: the test network's host count (host 0 is the driver). referee: tshark checks every
  // frame on the wire (off for tests that send malformed frames on purpose).
  void StartSite(int hosts, bool referee = true) {
    if (!test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
    struct stat st {};
    if (stat(ServerPath().c_str(), &st) != 0)
      GTEST_SKIP() << "build the driver server first (target zelbacnet-server)";
    net_ = std::make_unique<test::TestNetwork>(hosts);
    if (!net_->ok()) GTEST_SKIP() << net_->error();
    if (referee && test::CaptureToolsInstalled()) {
      ASSERT_TRUE(capture_.Start(net_->HubName(), "p0"));
    }
    const std::string tag = std::to_string(getpid());
    socket_ = "/tmp/zbe2e-" + tag + ".sock";
    log_ = "/tmp/zbe2e-" + tag + ".log";
    ASSERT_TRUE(server_.Start(net_->Name(0), socket_, log_));
    host_.loop = nullptr;
    ASSERT_TRUE(host_.Connect(socket_, 10000)) << server_.LogText();
  }
  void TearDown() override {
    for (auto& p : peers_)
      if (p->Running()) p->Send(R"({"cmd":"quit"})");
    peers_.clear();
    host_.Close();
    server_.Kill();
    if (!socket_.empty()) unlink(socket_.c_str());
    if (!log_.empty()) {
      // A sanitizer build of the server reports its findings in the log.
      const std::string log = server_.LogText();
      EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
      EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
      unlink(log_.c_str());
    }
    if (capture_.Running()) {
      const test::CaptureSummary s = capture_.Stop();
      EXPECT_TRUE(s.ok) << s.Text();
      EXPECT_EQ(s.malformed, 0) << s.Text();
      std::cout << s.Text() << "\n";
    }
    net_.reset();
  }

  // A site device (site.js) in the given host.
  test::PeerProcess& StartDevice(int host, int instance, const std::string& options = "{}",
                                 const std::string& iface = "0.0.0.0",
                                 const std::string& port = "47808") {
    peers_.push_back(std::make_unique<test::PeerProcess>());
    test::PeerProcess& p = *peers_.back();
    EXPECT_TRUE(p.Start("site.js",
                        {iface, port, "255.255.255.255", std::to_string(instance), options},
                        net_->Name(host)));
    EXPECT_TRUE(p.WaitFor("\"listening\"", 15000, nullptr, loop_)) << p.TranscriptText();
    return p;
  }
  test::PeerProcess& StartPeer(int host, const std::string& script,
                               const std::vector<std::string>& args) {
    peers_.push_back(std::make_unique<test::PeerProcess>());
    test::PeerProcess& p = *peers_.back();
    EXPECT_TRUE(p.Start(script, args, net_->Name(host)));
    EXPECT_TRUE(p.WaitFor("\"listening\"", 15000, nullptr, loop_)) << p.TranscriptText();
    return p;
  }

  // Creates and arms a driver object and connects it to the site over BACnet/IP.
  int Connect(const std::string& description = "Site") {
    int o = host_.Create();
    EXPECT_GT(o, 0) << server_.LogText();
    EXPECT_TRUE(host_.CallBool(o, "Configure", {"VERSIONCHECK=1.7"}));
    EXPECT_TRUE(host_.CallBool(
        o, "Connect",
        {"DESCRIPTION=" + description, "PANELTYPE=0", "SP4=" + net_->Address(0), "IP3=1000"}));
    Texts t = Poll(o, 10000);
    EXPECT_EQ(t.empty() ? "" : t[0], "COMMANDSTATUS=TRUE") << Join(t) << server_.LogText();
    return o;
  }
  // Polls COMMANDSTATUS until the command is done or failed.
  Texts Poll(int o, int timeout_ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      Texts t = host_.CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"});
      if (!t.empty() && (t[0] == "COMMANDSTATUS=TRUE" || t[0] == "COMMANDSTATUS=FALSE")) return t;
      if (std::chrono::steady_clock::now() > end) return {"<timed out>", Join(t)};
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // Runs one command to its end; the poll's answer.
  Texts Run(int o, const Texts& params, int timeout_ms = 20000) {
    Texts started = host_.CallTexts(o, "Execute", params);
    EXPECT_FALSE(started.empty());
    if (!started.empty() && started[0] == "COMMANDSTATUS=FALSE") return started;
    return Poll(o, timeout_ms);
  }
  // The results of a successful command (the elements after COMMANDSTATUS, COMMAND, error).
  static Texts Results(const Texts& t) {
    if (t.size() < 3 || t[0] != "COMMANDSTATUS=TRUE") return {"<failed: " + Join(t) + ">"};
    return Texts(t.begin() + 3, t.end());
  }
  // Waits until SITESTATUS reports n devices.
  bool WaitForDevices(int o, int n, int timeout_ms = 15000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::string want = std::to_string(n) + " Devices Found:";
    while (std::chrono::steady_clock::now() < end) {
      Texts r = Results(Run(o, {"COMMAND=SITESTATUS"}));
      if (r.size() > 3 && r[3] == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  static std::string Join(const Texts& t) {
    std::string s;
    for (const std::string& x : t) s += "[" + x + "]";
    return s;
  }
  void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  platform::MessageLoop loop_;
  std::unique_ptr<test::TestNetwork> net_;
  test::WireCapture capture_;
  ServerProcess server_;
  test::HostClient host_;
  std::string socket_;
  std::string log_;
  std::vector<std::unique_ptr<test::PeerProcess>> peers_;
};

}  // namespace zb::e2e
