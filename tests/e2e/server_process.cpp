#include "tests/e2e/server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace zb::test {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

std::string ServerBinary() { return std::string(ZB_BINARY_DIR) + "/bin/zelbacnet-server"; }
std::string HostToolBinary() { return std::string(ZB_BINARY_DIR) + "/bin/zelbacnet"; }

ServerProcess::ServerProcess() {
  char tmpl[] = "/tmp/zbe2eXXXXXX";
  if (mkdtemp(tmpl)) dir_ = tmpl;
  socket_ = dir_ + "/driver.sock";
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool ServerProcess::Start(const std::vector<std::string>& args, const std::string& netns) {
  if (dir_.empty() || access(ServerBinary().c_str(), X_OK) != 0) return false;
  std::vector<std::string> argv;
  if (!netns.empty()) argv = {"ip", "netns", "exec", netns};
  argv.push_back(ServerBinary());
  argv.push_back("--socket");
  argv.push_back(socket_);
  argv.insert(argv.end(), args.begin(), args.end());
  std::string log = dir_ + "/server.log";
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    std::vector<char*> c;
    for (auto& a : argv) c.push_back(a.data());
    c.push_back(nullptr);
    execvp(c[0], c.data());
    _exit(127);
  }
  // Ready when the socket exists.
  int64_t end = NowMs() + 10000;
  struct stat st {};
  while (NowMs() < end) {
    if (stat(socket_.c_str(), &st) == 0) return true;
    if (!Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool ServerProcess::Running() {
  if (pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) - 1000;
    return false;
  }
  return true;
}

int ServerProcess::Wait(int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  while (Running() && NowMs() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (pid_ > 0) return -1;
  return -(pid_ + 1000);
}

void ServerProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

std::string ServerProcess::Log() const {
  std::ifstream in(dir_ + "/server.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int RunProgram(const std::vector<std::string>& argv, std::string& output, int timeout_ms,
               const std::vector<std::string>& env, const std::function<void()>& between) {
  int p[2];
  if (pipe(p) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    dup2(p[1], 1);
    dup2(p[1], 2);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> c;
    for (auto a : argv) c.push_back(strdup(a.c_str()));
    c.push_back(nullptr);
    execvp(c[0], c.data());
    _exit(127);
  }
  close(p[1]);
  int64_t end = NowMs() + timeout_ms;
  char buf[4096];
  for (;;) {
    int64_t left = end - NowMs();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd pf{p[0], POLLIN, 0};
    int wait_ms = between ? std::min<int>(static_cast<int>(left), 10) : static_cast<int>(left);
    int ready = poll(&pf, 1, wait_ms);
    if (between) between();
    if (ready <= 0) continue;
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zb::test
