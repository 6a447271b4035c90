#include "tests/common/host_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace zb::test {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

HostClient::~HostClient() { Close(); }

void HostClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool HostClient::Connect(const std::string& path, int timeout_ms) {
  Close();
  int64_t end = NowMs() + timeout_ms;
  do {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      fd_ = fd;
      return true;
    }
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (NowMs() < end);
  return false;
}

void HostClient::Write(const std::string& text) {
  size_t off = 0;
  while (off < text.size() && fd_ >= 0) {
    ssize_t n = send(fd_, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

std::string HostClient::ReadLine(int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  for (;;) {
    size_t nl = buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      return line;
    }
    if (eof_ || fd_ < 0 || NowMs() >= end) return {};
    if (loop) loop->WaitAndProcess(5);
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, loop ? 0 : 10) > 0) {
      char b[65536];
      ssize_t n = read(fd_, b, sizeof b);
      if (n > 0)
        buf_.append(b, static_cast<size_t>(n));
      else
        eof_ = true;
    }
  }
}

bool HostClient::WaitClosed(int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  while (!eof_ && NowMs() < end) ReadLine(10);
  return eof_;
}

std::string HostClient::Ask(const std::string& line, int timeout_ms) {
  Write(line + "\n");
  return ReadLine(timeout_ms);
}

platform::Json HostClient::AskJson(const std::string& line, int timeout_ms) {
  platform::Json j;
  std::string err;
  std::string reply = Ask(line, timeout_ms);
  if (!platform::ParseJson(reply, j, err)) return platform::Json();
  return j;
}

int HostClient::Create(const std::string& progid) {
  platform::Json r = AskJson(R"({"id":)" + std::to_string(next_id_++) +
                             R"(,"op":"create","progid":")" + progid + "\"}");
  const platform::Json* o = r.Find("object");
  return o && o->kind() == platform::Json::Kind::Integer ? static_cast<int>(o->AsInteger()) : -1;
}

platform::Json HostClient::Call(int object, const std::string& method,
                                const std::vector<std::string>& params) {
  platform::Json p = platform::Json::Array();
  for (const std::string& s : params) p.Push(platform::Json::String(s));
  return AskJson(R"({"id":)" + std::to_string(next_id_++) + R"(,"op":"call","object":)" +
                 std::to_string(object) + R"(,"method":")" + method + R"(","params":)" +
                 platform::WriteJson(p) + "}");
}

std::vector<std::string> JsonTexts(const platform::Json& j) {
  std::vector<std::string> out;
  if (j.kind() != platform::Json::Kind::Array) {
    out.push_back(j.kind() == platform::Json::Kind::String ? j.AsString() : platform::WriteJson(j));
    return out;
  }
  for (const platform::Json& e : j.Items())
    out.push_back(e.kind() == platform::Json::Kind::String ? e.AsString() : platform::WriteJson(e));
  return out;
}

std::vector<std::string> HostClient::CallTexts(int object, const std::string& method,
                                               const std::vector<std::string>& params) {
  platform::Json r = Call(object, method, params);
  const platform::Json* res = r.Find("result");
  if (!res) return {"<no result: " + platform::WriteJson(r) + ">"};
  return JsonTexts(*res);
}

bool HostClient::CallBool(int object, const std::string& method,
                          const std::vector<std::string>& params) {
  platform::Json r = Call(object, method, params);
  const platform::Json* res = r.Find("result");
  return res && res->kind() == platform::Json::Kind::Bool && res->AsBool();
}

bool HostClient::Release(int object) {
  platform::Json r = AskJson(R"({"id":)" + std::to_string(next_id_++) +
                             R"(,"op":"release","object":)" + std::to_string(object) + "}");
  const platform::Json* rel = r.Find("released");
  return rel && rel->kind() == platform::Json::Kind::Bool && rel->AsBool();
}

}  // namespace zb::test
