#include "tests/common/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace zb::test {

namespace {
const std::string kPeerDir = std::string(ZB_SOURCE_DIR) + "/tests/peer";
}

bool PeerInstalled() {
  struct stat st {};
  return stat((kPeerDir + "/node_modules/@bacnet-js/client").c_str(), &st) == 0;
}

bool PeerProcess::Start(const std::string& script, const std::vector<std::string>& args,
                        const std::string& netns) {
  Kill();
  if (!PeerInstalled()) return false;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  std::vector<std::string> argv;
  if (!netns.empty()) argv = {"ip", "netns", "exec", netns};
  argv.push_back("node");
  argv.push_back(kPeerDir + "/" + script);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (chdir(kPeerDir.c_str()) != 0) _exit(126);
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(in[0]);
  close(out[1]);
  pid_ = pid;
  in_ = in[1];
  out_ = out[0];
  fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
  buffer_.clear();
  eof_ = false;
  transcript_.clear();
  return true;
}

bool PeerProcess::Send(const std::string& line) {
  if (in_ < 0) return false;
  std::string data = line + "\n";
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(in_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PeerProcess::TakeLine(std::string& line) {
  size_t nl = buffer_.find('\n');
  if (nl == std::string::npos) return false;
  line = buffer_.substr(0, nl);
  buffer_.erase(0, nl + 1);
  transcript_.push_back(line);
  return true;
}

bool PeerProcess::ReadLine(std::string& line, int timeout_ms, platform::MessageLoop& loop) {
  if (TakeLine(line)) return true;
  if (out_ < 0) return false;
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  bool got = false;
  int watch = loop.Watch(out_, POLLIN, [&](int fd, short) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      buffer_.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      eof_ = true;
    }
  });
  while (!(got = TakeLine(line)) && !eof_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) break;
    // Bounded waits in real time: a manual clock would otherwise jump instead of waiting.
    loop.WaitAndProcess(left.count() < 20 ? left.count() : 20);
  }
  loop.Unwatch(watch);
  return got;
}

bool PeerProcess::WaitFor(const std::string& text, int timeout_ms, std::string* line,
                          platform::MessageLoop& loop) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string l;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) return false;
    if (!ReadLine(l, static_cast<int>(left.count()), loop)) return false;
    if (l.find(text) != std::string::npos) {
      if (line) *line = l;
      return true;
    }
  }
}

std::string PeerProcess::TranscriptText() const {
  std::string s;
  for (const auto& l : transcript_) s += l + "\n";
  return s;
}

void PeerProcess::Kill() {
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  in_ = out_ = -1;
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    usleep(10000);
  }
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace zb::test
