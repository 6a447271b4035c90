#include "tools/host/host_link.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "driver/registration.h"
#include "platform/host_connection.h"

namespace zb::host {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string SiblingServer() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "zelbacnet-server";
  buf[n] = '\0';
  std::string self = buf;
  return self.substr(0, self.rfind('/') + 1) + "zelbacnet-server";
}

bool StartServer(const std::string& exe, const std::string& path) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Detached: the server outlives this tool only while the host's objects live.
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    if (fork() != 0) _exit(0);
    execl(exe.c_str(), exe.c_str(), "--automation", "--socket", path.c_str(), (char*)nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);  // the intermediate child exits at once
  return true;
}
}  // namespace

HostLink::~HostLink() { Close(); }

void HostLink::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool HostLink::Connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    close(fd);
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool HostLink::Open(const std::string& path, bool start, std::string& error) {
  Close();
  if (!platform::SecureDefaultSocketDirectory(path, error)) return false;
  if (Connect(path)) return true;
  if (!start) {
    error = "no driver server at " + path;
    return false;
  }
  TRegistration reg;
  std::string exe = ReadRegistration(reg) ? reg.Executable : SiblingServer();
  if (access(exe.c_str(), X_OK) != 0) exe = SiblingServer();
  if (!StartServer(exe, path)) {
    error = "cannot start " + exe;
    return false;
  }
  int64_t end = NowMs() + 10000;
  while (NowMs() < end) {
    if (Connect(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  error = "started " + exe + " but it does not answer at " + path;
  return false;
}

bool HostLink::ReadLine(std::string& line, int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  for (;;) {
    size_t nl = buf_.find('\n');
    if (nl != std::string::npos) {
      line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      return true;
    }
    int64_t left = end - NowMs();
    if (left <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char b[65536];
    ssize_t n = read(fd_, b, sizeof b);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buf_.append(b, static_cast<size_t>(n));
  }
}

int HostLink::Send(platform::Json request, std::string& error) {
  int id = next_id_++;
  request.Set("id", platform::Json::Integer(id));
  std::string line = platform::WriteJson(request) + "\n";
  size_t off = 0;
  while (off < line.size()) {
    ssize_t n = fd_ < 0 ? -1 : send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
    if (n <= 0) {
      error = "the driver server closed the connection";
      return 0;
    }
    off += static_cast<size_t>(n);
  }
  return id;
}

platform::Json HostLink::Await(int id, std::string& error, int timeout_ms) {
  platform::Json j;
  if (auto kept = early_.find(id); kept != early_.end()) {
    j = std::move(kept->second);
    early_.erase(kept);
  } else {
    int64_t end = NowMs() + timeout_ms;
    for (;;) {
      std::string reply;
      int64_t left = end - NowMs();
      if (left <= 0 || !ReadLine(reply, static_cast<int>(left))) {
        error = "no answer from the driver server";
        return platform::Json();
      }
      if (!platform::ParseJson(reply, j, error)) return platform::Json();
      const platform::Json* rid = j.Find("id");
      if (rid && rid->kind() == platform::Json::Kind::Integer && rid->AsInteger() != id) {
        // A reply to one of our own earlier requests that nobody awaits yet.
        if (rid->AsInteger() > 0 && rid->AsInteger() < next_id_)
          early_[static_cast<int>(rid->AsInteger())] = std::move(j);
        continue;
      }
      break;
    }
  }
  if (const platform::Json* e = j.Find("error")) {
    error = e->kind() == platform::Json::Kind::String ? e->AsString() : "error";
    return platform::Json();
  }
  return j;
}

platform::Json HostLink::Request(platform::Json request, std::string& error, int timeout_ms) {
  int id = Send(std::move(request), error);
  if (id == 0) return platform::Json();
  return Await(id, error, timeout_ms);
}

int HostLink::Create(std::string& error) {
  platform::Json r = platform::Json::Object();
  r.Set("op", platform::Json::String("create"));
  r.Set("progid", platform::Json::String("ZelBACnetServer.ZelBACnetServerDriver"));
  platform::Json reply = Request(r, error);
  const platform::Json* o = reply.Find("object");
  return o && o->kind() == platform::Json::Kind::Integer ? static_cast<int>(o->AsInteger()) : -1;
}

bool HostLink::Release(int object, std::string& error) {
  platform::Json r = platform::Json::Object();
  r.Set("op", platform::Json::String("release"));
  r.Set("object", platform::Json::Integer(object));
  return !Request(r, error).IsNull();
}

int HostLink::SendCall(int object, const std::string& method,
                       const std::vector<std::string>& params, std::string& error) {
  platform::Json p = platform::Json::Array();
  for (const std::string& s : params) p.Push(platform::Json::String(s));
  platform::Json r = platform::Json::Object();
  r.Set("op", platform::Json::String("call"));
  r.Set("object", platform::Json::Integer(object));
  r.Set("method", platform::Json::String(method));
  r.Set("params", std::move(p));
  return Send(std::move(r), error);
}

platform::Json HostLink::AwaitCall(int id, std::string& error, int timeout_ms) {
  platform::Json reply = Await(id, error, timeout_ms);
  const platform::Json* res = reply.Find("result");
  if (!res) {
    if (error.empty()) error = "call without result";
    return platform::Json();
  }
  return *res;
}

platform::Json HostLink::Call(int object, const std::string& method,
                              const std::vector<std::string>& params, std::string& error) {
  int id = SendCall(object, method, params, error);
  if (id == 0) return platform::Json();
  return AwaitCall(id, error, 120000);
}

std::vector<std::string> ResultTexts(const platform::Json& result) {
  std::vector<std::string> out;
  auto text = [](const platform::Json& e) {
    return e.kind() == platform::Json::Kind::String ? e.AsString() : platform::WriteJson(e);
  };
  if (result.kind() == platform::Json::Kind::Array) {
    for (const platform::Json& e : result.Items()) out.push_back(text(e));
  } else {
    out.push_back(text(result));
  }
  return out;
}

std::string Printable(const std::string& octets) {
  std::string out;
  for (char ch : octets) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      if (c == '\t') out.push_back(' ');
      continue;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace zb::host
