// Shared pieces of the load programs: a private network namespace for the whole run, the driver
// server and npm peer processes, the host connection, and CPU/memory readings from /proc.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/host_client.h"
#include "tests/common/netns.h"
#include "tests/common/peer.h"

namespace zb::bench {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Every load program runs in a loopback-only namespace of its own; children inherit it.
inline bool EnterNamespaceOrSay() {
  std::string error = test::EnterPrivateNetwork();
  if (error.empty()) return true;
  std::printf("skipped: no private network namespace (%s)\n", error.c_str());
  return false;
}

// CPU seconds (user + system) a process has used so far.
inline double CpuSeconds(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = s.rfind(')');
  if (p == std::string::npos) return 0;
  std::istringstream in(s.substr(p + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; in >> field; ++i) {  // field 3 is the state
    if (i == 14) utime = std::atof(field.c_str());
    if (i == 15) {
      stime = std::atof(field.c_str());
      break;
    }
  }
  return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds a single-threaded process has run so far, to the nanosecond (the scheduler's own
// account; /proc/<pid>/stat counts in 10 ms ticks, too coarse for per-read costs).
inline double RunSeconds(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
  double ns = 0;
  f >> ns;
  return ns / 1e9;
}

// A line of /proc/<pid>/status in kB (VmRSS, VmHWM).
inline long StatusKb(int pid, const std::string& key) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  return -1;
}

// The machine's load while measuring, for the figures' context.
inline std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

inline std::string ServerBinary() {
  if (const char* s = std::getenv("ZB_SERVER")) return s;
  return std::string(ZB_BINARY_DIR) + "/bin/zelbacnet-server";
}

// The driver server as a child in the caller's namespace, its output in a log file.
class Server {
 public:
  ~Server() { Stop(); }
  bool Start() {
    const std::string tag = std::to_string(getpid());
    socket_ = "/tmp/zbbench-" + tag + ".sock";
    log_ = "/tmp/zbbench-" + tag + ".log";
    unlink(socket_.c_str());
    started_ = Clock::now();
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
      int null = open("/dev/null", O_RDONLY);
      if (null >= 0) dup2(null, 0);
      const std::string bin = ServerBinary();
      execl(bin.c_str(), bin.c_str(), "--socket", socket_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return true;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) SleepMs(20);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, WNOHANG);
    pid_ = -1;
    unlink(socket_.c_str());
    unlink(log_.c_str());
  }
  int pid() const { return pid_; }
  const std::string& socket() const { return socket_; }
  Clock::time_point started() const { return started_; }
  double Cpu() const { return CpuSeconds(pid_); }
  double RunTime() const { return RunSeconds(pid_); }
  long RssKb() const { return StatusKb(pid_, "VmRSS"); }

 private:
  int pid_ = -1;
  std::string socket_, log_;
  Clock::time_point started_;
};

// The host: one connection; driver objects connected to BACnet/IP sessions.
class Host {
 public:
  bool Connect(const std::string& socket) {
    client.loop = nullptr;
    return client.Connect(socket, 10000);
  }
  // A driver object with its own session: Description, local address and UDP port.
  int Session(const std::string& description, int udp_port, int apdu_timeout_ms = 1000) {
    int o = client.Create();
    if (o <= 0) return -1;
    client.CallBool(o, "Configure", {"VERSIONCHECK=1.7"});
    client.CallBool(o, "Connect",
                    {"DESCRIPTION=" + description, "PANELTYPE=0", "SP4=127.0.0.1",
                     "IP1=" + std::to_string(udp_port), "IP3=" + std::to_string(apdu_timeout_ms),
                     "IP2=" + std::to_string(1000 + udp_port % 100000)});
    Texts t = Poll(o, 15000);
    return !t.empty() && t[0] == "COMMANDSTATUS=TRUE" ? o : -1;
  }
  // n sessions "<prefix><i>" on UDP ports first_port.., connected side by side.
  std::vector<int> Sessions(const std::string& prefix, int n, int first_port,
                            int apdu_timeout_ms = 1000) {
    std::vector<int> objects;
    for (int i = 0; i < n; ++i) {
      int o = client.Create();
      client.CallBool(o, "Configure", {"VERSIONCHECK=1.7"});
      client.CallBool(
          o, "Connect",
          {"DESCRIPTION=" + prefix + std::to_string(i), "PANELTYPE=0", "SP4=127.0.0.1",
           "IP1=" + std::to_string(first_port + i), "IP3=" + std::to_string(apdu_timeout_ms),
           "IP2=" + std::to_string(2000 + i)});
      objects.push_back(o);
    }
    std::vector<int> connected;
    for (int o : objects) {
      Texts t = Poll(o, 30000);
      if (!t.empty() && t[0] == "COMMANDSTATUS=TRUE") connected.push_back(o);
    }
    return connected;
  }
  // Installs points AVAL#1..count of the device at `device` as the session's point table.
  bool Points(int o, const std::string& device, int count) {
    Texts params = {"COMMAND=SENDPOINTSLIST"};
    for (int k = 0; k < count; ++k)
      params.push_back("POINT" + std::to_string(k) + "={p" + std::to_string(k) + "}{" + device +
                       "-AVAL#" + std::to_string(k + 1) + "}{}{}");
    Texts t = client.CallTexts(o, "ExecuteImmediate", params);  // installed at once
    return !t.empty() && t[0] == "COMMANDSTATUS=TRUE";
  }
  Texts Status(int o) { return client.CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"}); }
  static bool Finished(const Texts& t) {
    return !t.empty() && (t[0] == "COMMANDSTATUS=TRUE" || t[0] == "COMMANDSTATUS=FALSE");
  }
  Texts Poll(int o, int timeout_ms, int pause_ms = 20) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      Texts t = Status(o);
      if (Finished(t) || Clock::now() > end) return t;
      if (pause_ms > 0) SleepMs(pause_ms);
    }
  }
  Texts Run(int o, const Texts& params, int timeout_ms = 20000) {
    Texts started = client.CallTexts(o, "Execute", params);
    if (!started.empty() && started[0] == "COMMANDSTATUS=FALSE") return started;
    return Poll(o, timeout_ms);
  }
  test::HostClient client;
};

// Site devices played by the npm peer (bench/peer/load_devices.js): `count` devices on UDP ports
// first_port.., each with analog values 1..objects; every read is answered after delay_ms.
class Devices {
 public:
  bool Start(int first_port, int count, int delay_ms = 0, int objects = 100) {
    // PeerProcess runs scripts of tests/peer; the relative path reaches ours.
    if (!peer_.Start("../../bench/peer/load_devices.js",
                     {"127.0.0.2", std::to_string(first_port), std::to_string(count),
                      std::to_string(delay_ms), std::to_string(objects)}))
      return false;
    return peer_.WaitFor("\"listening\"", 20000, nullptr, loop_);
  }
  // Reads answered since the start.
  long Reads() {
    peer_.Send(R"({"cmd":"count"})");
    std::string line;
    if (!peer_.WaitFor("\"count\"", 5000, &line, loop_)) return -1;
    size_t p = line.find("\"reads\":");
    return p == std::string::npos ? -1 : std::atol(line.c_str() + p + 8);
  }
  std::string Transcript() const { return peer_.TranscriptText(); }

 private:
  platform::MessageLoop loop_;
  test::PeerProcess peer_;
};

inline std::string DeviceAddress(int port) { return "127.0.0.2:" + std::to_string(port); }

// Percentile of sorted samples.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = size_t(p / 100.0 * double(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

}  // namespace zb::bench
