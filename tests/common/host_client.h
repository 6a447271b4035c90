// A host for tests: speaks the host connection's line protocol over a Unix socket, either to a
// HostConnection in this process (served by pumping the loop while waiting) or to a server
// process (the loop pump then just waits).
#pragma once

#include <string>
#include <vector>

#include "platform/json.h"
#include "platform/message_loop.h"

namespace zb::test {

class HostClient {
 public:
  HostClient() = default;
  explicit HostClient(int fd) : fd_(fd) {}
  ~HostClient();
  HostClient(const HostClient&) = delete;
  HostClient& operator=(const HostClient&) = delete;

  // Connects to a listening socket, retrying for up to timeout_ms.
  bool Connect(const std::string& path, int timeout_ms = 5000);
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close();

  void Write(const std::string& text);
  // The next reply line; empty after timeout_ms (real time) without one or when the peer closed.
  std::string ReadLine(int timeout_ms = 5000);
  std::string Ask(const std::string& line, int timeout_ms = 5000);
  // Parsed reply of a request; Null on time-out or bad JSON.
  platform::Json AskJson(const std::string& line, int timeout_ms = 5000);

  // Protocol helpers: each answers the parsed reply.
  int Create(const std::string& progid = "ZelBACnetServer.ZelBACnetServerDriver");
  platform::Json Call(int object, const std::string& method,
                      const std::vector<std::string>& params);
  // The "result" of a call as a list of texts (a non-array result gives one element).
  std::vector<std::string> CallTexts(int object, const std::string& method,
                                     const std::vector<std::string>& params);
  bool CallBool(int object, const std::string& method, const std::vector<std::string>& params);
  bool Release(int object);

  // True when the peer closed the connection (reads EOF within timeout_ms).
  bool WaitClosed(int timeout_ms);

  // The loop pumped while waiting (nullptr: none, just poll the socket).
  platform::MessageLoop* loop = nullptr;

 private:
  int fd_ = -1;
  int next_id_ = 1;
  std::string buf_;
  bool eof_ = false;
};

// Texts of a JSON array of strings (other items rendered as JSON).
std::vector<std::string> JsonTexts(const platform::Json& j);

}  // namespace zb::test
