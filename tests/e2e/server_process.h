// The driver server as a child process for end-to-end tests, optionally inside a named network
// namespace, with its own socket in a temporary directory.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zb::test {

std::string ServerBinary();    // build/bin/zelbacnet-server
std::string HostToolBinary();  // build/bin/zelbacnet

class ServerProcess {
 public:
  ServerProcess();
  ~ServerProcess();  // kills the server if it still runs, removes the directory
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Start(const std::vector<std::string>& args, const std::string& netns = "");
  const std::string& socket() const { return socket_; }
  const std::string& dir() const { return dir_; }
  // Waits up to timeout_ms for the process to end; its exit status (or -1 on time-out).
  int Wait(int timeout_ms);
  bool Running();
  void Signal(int sig);
  // Everything it wrote to stderr so far.
  std::string Log() const;

 private:
  int pid_ = -1;
  std::string dir_;
  std::string socket_;
};

// Runs a program to its end (time-bounded), capturing stdout and stderr together; `between`,
// when given, is called every few milliseconds meanwhile (to run a far end on this process's loop).
int RunProgram(const std::vector<std::string>& argv, std::string& output, int timeout_ms,
               const std::vector<std::string>& env = {}, const std::function<void()>& between = {});

}  // namespace zb::test
