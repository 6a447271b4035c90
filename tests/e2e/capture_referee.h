// The host tool's capture as a child process, and tshark as the referee of what it wrote.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/netns.h"
#include "tests/e2e/server_process.h"

namespace zb::e2e {

// `zelbacnet --socket S --no-start capture SITE FILE`, ended by SIGINT as a person would.
class CaptureTool {
 public:
  ~CaptureTool() { Stop(); }
  bool Start(const std::string& socket, const std::string& site, const std::string& file) {
    file_ = file;
    log_ = file + ".log";
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      const std::string tool = test::HostToolBinary();
      execl(tool.c_str(), tool.c_str(), "--socket", socket.c_str(), "--no-start", "capture",
            site.c_str(), file.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return true;
  }
  // Waits until the file holds the pcap header: the capture is running.
  bool WaitStarted(int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    struct stat st {};
    while (std::chrono::steady_clock::now() < end) {
      if (stat(file_.c_str(), &st) == 0 && st.st_size >= 24) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Ends it and answers its exit status (-1 when it had to be killed).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGINT);
    int status = 0;
    for (int i = 0; i < 250; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
  }
  std::string Log() const {
    std::string s;
    if (FILE* f = fopen(log_.c_str(), "r")) {
      char b[4096];
      size_t n;
      while ((n = fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
      fclose(f);
    }
    return s;
  }
  void Remove() {
    unlink(file_.c_str());
    unlink(log_.c_str());
  }

 private:
  pid_t pid_ = -1;
  std::string file_, log_;
};

// What tshark makes of each frame of a pcap file: its protocol stack and whether it was
// malformed or carried an expert error.
struct DecodedFrame {
  std::string Protocols;
  bool Bad = false;
  std::string Row;
};

// The second tab-separated column (_ws.malformed) is non-empty.
inline bool MalformedColumn(const std::string& rest) {
  if (rest.empty() || rest[0] != '\t') return false;
  const size_t end = rest.find('\t', 1);
  return (end == std::string::npos ? rest.size() : end) > 1;
}

inline std::vector<DecodedFrame> Tshark(const std::string& file, std::string& error) {
  std::vector<DecodedFrame> frames;
  const std::string cmd = "tshark -n -r " + file +
                          " -T fields -E separator=/t -e frame.protocols -e _ws.malformed "
                          "-e _ws.expert.severity 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    error = "cannot run tshark";
    return frames;
  }
  std::string out;
  char b[4096];
  size_t n;
  while ((n = fread(b, 1, sizeof b, p)) > 0) out.append(b, n);
  if (pclose(p) != 0) error = "tshark failed: " + out.substr(0, 2000);
  for (size_t s = 0, e; (e = out.find('\n', s)) != std::string::npos; s = e + 1) {
    DecodedFrame f;
    f.Row = out.substr(s, e - s);
    f.Protocols = f.Row.substr(0, f.Row.find('\t'));
    // The malformed field shows only on a malformed frame; severity 8388608 is an expert error.
    const std::string rest = f.Row.substr(f.Protocols.size());
    f.Bad = f.Protocols.find("_ws.malformed") != std::string::npos ||
            rest.find("8388608") != std::string::npos || MalformedColumn(rest);
    frames.push_back(f);
  }
  return frames;
}

}  // namespace zb::e2e
