// Starts a node script of tests/peer/ (the independent BACnet peer) as a child process,
// optionally inside a named network namespace, and talks to it line by line: commands on its
// stdin, events on its stdout. The child is killed when the object goes.
#pragma once

#include <string>
#include <vector>

#include "platform/message_loop.h"

namespace zb::test {

class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess() { Kill(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // `node tests/peer/<script> <args...>`; inside `ip netns exec <netns>` when netns is not
  // empty, else in the calling process's namespace. False when it cannot be started (or when
  // tests/peer/node_modules is missing: run tools/setup.sh).
  bool Start(const std::string& script, const std::vector<std::string>& args,
             const std::string& netns = "");
  bool Running() const { return pid_ > 0; }

  // Writes one line to the peer's stdin.
  bool Send(const std::string& line);

  // Waits up to timeout_ms of real time for the next stdout line; while waiting, the loop's
  // events are dispatched (so the stack under test keeps working). False on time-out or end.
  bool ReadLine(std::string& line, int timeout_ms, platform::MessageLoop& loop);
  // Reads lines until one contains `text`; that line goes into *line when given.
  bool WaitFor(const std::string& text, int timeout_ms, std::string* line,
               platform::MessageLoop& loop);
  // Every line read so far (also those WaitFor skipped), for failure messages.
  const std::vector<std::string>& Transcript() const { return transcript_; }
  std::string TranscriptText() const;

  // Terminates the peer (its whole process group) and reaps it.
  void Kill();

 private:
  bool TakeLine(std::string& line);

  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool eof_ = false;
  std::vector<std::string> transcript_;
};

// Whether the npm peer is installed (tests/peer/node_modules).
bool PeerInstalled();

}  // namespace zb::test
