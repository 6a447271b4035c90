// The host tool's end of the host connection: request lines out, replies back matched by id
// (a server may answer a later request while an earlier one waits), each wait with a time limit.
// Starts the driver server on demand from its registration record.
#pragma once

#include <map>
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
  // The two halves of Request: Send answers the request's id (0 when it could not be sent);
  // Await gives its reply, keeping replies to other requests that arrive meanwhile.
  int Send(platform::Json request, std::string& error);
  platform::Json Await(int id, std::string& error, int timeout_ms);
  bool Answered(int id) const { return early_.count(id) != 0; }

  // The next line the server sends, asked for or not; false on time-out or a closed connection.
  bool NextLine(std::string& line, int timeout_ms) { return ReadLine(line, timeout_ms); }
  // The connection has ended (the server closed it).
  bool Closed() const { return closed_; }

  int Create(std::string& error);
  bool Release(int object, std::string& error);
  // The result of a call; Null (error set) when the call itself failed.
  platform::Json Call(int object, const std::string& method, const std::vector<std::string>& params,
                      std::string& error);
  int SendCall(int object, const std::string& method, const std::vector<std::string>& params,
               std::string& error);
  platform::Json AwaitCall(int id, std::string& error, int timeout_ms);

 private:
  bool ReadLine(std::string& line, int timeout_ms);
  bool Connect(const std::string& path);
  int fd_ = -1;
  int next_id_ = 1;
  std::string buf_;
  std::map<int, platform::Json> early_;  // only replies to this link's own requests
  bool closed_ = false;
};

// Element texts of a result list (non-strings as JSON).
std::vector<std::string> ResultTexts(const platform::Json& result);
// Latin-1 octets as UTF-8 for the terminal, control characters dropped.
std::string Printable(const std::string& octets);

}  // namespace zb::host
