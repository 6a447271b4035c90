// The host tool's end of the host connection: one request line out, its reply line back,
// blocking with a time limit. Starts the driver server on demand from its registration record.
#pragma once

#include <string>
#include <vector>

#include "platform/json.h"

namespace zb::host {

class HostLink {
 public:
  ~HostLink();
  // Connects to `path`; when nothing listens there and `start` is set, starts the server
  // (registered executable, else zelbacnet-server beside this program) with --automation.
  bool Open(const std::string& path, bool start, std::string& error);
  void Close();
  int fd() const { return fd_; }

  // Sends one request (its "id" is filled in) and waits for the reply; Null on failure with
  // `error` set.
  platform::Json Request(platform::Json request, std::string& error, int timeout_ms = 10000);

  int Create(std::string& error);
  bool Release(int object, std::string& error);
  // The result of a call; Null (error set) when the call itself failed.
  platform::Json Call(int object, const std::string& method, const std::vector<std::string>& params,
                      std::string& error);

 private:
  bool ReadLine(std::string& line, int timeout_ms);
  bool Connect(const std::string& path);
  int fd_ = -1;
  int next_id_ = 1;
  std::string buf_;
};

// Element texts of a result list (non-strings as JSON).
std::vector<std::string> ResultTexts(const platform::Json& result);
// Latin-1 octets as UTF-8 for the terminal, control characters dropped.
std::string Printable(const std::string& octets);

}  // namespace zb::host
