#include "platform/host_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include "platform/window.h"

namespace zb::platform {

struct HostConnection::Client {
  int fd = -1;
  int watch = 0;
  std::string in;
  std::deque<std::string> lines;  // requests read, not yet served
  std::string out;
  bool skipping = false;  // discarding the rest of an oversized line
  bool watching = false;
  bool dead = false;
  bool serve_posted = false;
  bool flush_posted = false;
  int serving = 0;  // requests of this host on the call stack (nested in one another's waits)
};

namespace {

Json ErrorReply(const Json* id, const std::string& reason) {
  Json r = Json::Object();
  r.Set("id", id ? *id : Json());
  r.Set("error", Json::String(reason));
  return r;
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// An integer member that fits 32 bits, else nullptr.
bool IntMember(const Json& request, const char* name, int& out) {
  const Json* j = request.Find(name);
  if (!j || j->kind() != Json::Kind::Integer) return false;
  if (j->AsInteger() < INT32_MIN || j->AsInteger() > INT32_MAX) return false;
  out = static_cast<int>(j->AsInteger());
  return true;
}

const char* KindName(Control::Kind k) {
  switch (k) {
    case Control::Kind::TextView:
      return "textview";
    case Control::Kind::CheckBox:
      return "checkbox";
    case Control::Kind::Button:
      return "button";
    case Control::Kind::MenuItem:
      return "menu";
    case Control::Kind::StatusPanel:
      return "panel";
  }
  return "control";
}

}  // namespace

std::string DefaultHostSocketPath() {
  const char* rt = std::getenv("XDG_RUNTIME_DIR");
  if (rt && *rt) return std::string(rt) + "/zelbacnet.sock";
  return "/tmp/zelbacnet-" + std::to_string(getuid()) + "/zelbacnet.sock";
}

bool SecureDefaultSocketDirectory(const std::string& socket_path, std::string& error) {
  std::string dir = socket_path.substr(0, socket_path.rfind('/'));
  if (dir.rfind("/tmp/zelbacnet-", 0) != 0) return true;
  mkdir(dir.c_str(), 0700);
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 077) != 0) {
    error = dir + " is not a private directory of this user";
    return false;
  }
  return true;
}

HostConnection::HostConnection(MessageLoop& loop, Desktop& desktop)
    : loop_(loop), desktop_(desktop), resume_timer_(loop), alive_(std::make_shared<bool>(true)) {
  desktop_.AddViewer(*this);
  resume_timer_.OnTimer = [this] { ResumeAccepting(); };
}

HostConnection::~HostConnection() {
  *alive_ = false;
  resume_timer_.SetEnabled(false);
  desktop_.RemoveViewer(*this);
  OnObjectCountChanged = nullptr;  // its owner may be half gone already
  ReleaseAll();
  while (!clients_.empty()) Drop(clients_.begin()->first, true);
  if (listen_watch_) loop_.Unwatch(listen_watch_);
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
}

void HostConnection::RegisterClass(HostClass cls) { classes_.push_back(std::move(cls)); }

bool HostConnection::Listen(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = "socket path empty or too long";
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = path + " exists and is not a socket";
      return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      error = "a server is already listening at " + path;
      return false;
    }
    unlink(path.c_str());
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // Created owner-only from the start, so no other user can connect in between.
  mode_t old = umask(0177);
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int bind_errno = errno;
  umask(old);
  if (rc != 0 || chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
    error = path + ": " + std::strerror(rc != 0 ? bind_errno : errno);
    close(fd);
    if (rc == 0) unlink(path.c_str());
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  listen_watch_ = loop_.Watch(fd, POLLIN, [this](int, short) { OnListenReady(); });
  return true;
}

void HostConnection::OnListenReady() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        PauseAccepting();
      return;
    }
    if (static_cast<int>(clients_.size()) >= MaxClients) {
      static const char kRefused[] = "{\"id\":null,\"error\":\"too many host connections\"}\n";
      (void)!send(fd, kRefused, sizeof kRefused - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd);
      continue;
    }
    Adopt(fd);
  }
}

// Out of descriptors, the waiting connection stays ready and the loop would come back to it at
// once, again and again: stop listening until a host leaves or a moment has passed.
void HostConnection::PauseAccepting() {
  if (!listen_watch_ || accept_paused_) return;
  accept_paused_ = true;
  loop_.SetEvents(listen_watch_, 0);
  resume_timer_.SetInterval(kAcceptRetryMs);
  resume_timer_.SetEnabled(true);
}

void HostConnection::ResumeAccepting() {
  resume_timer_.SetEnabled(false);
  if (!accept_paused_) return;
  accept_paused_ = false;
  if (listen_watch_) loop_.SetEvents(listen_watch_, POLLIN);
}

void HostConnection::Adopt(int fd) {
  SetNonBlocking(fd);
  int id = next_client_++;
  auto c = std::make_unique<Client>();
  c->fd = fd;
  c->watch = loop_.Watch(
      fd, POLLIN, [this, id](int, short revents) { OnClientReady(id, revents); }, true);
  clients_[id] = std::move(c);
}

bool HostConnection::PersonWatching() const {
  for (const auto& [id, c] : clients_)
    if (c->watching && !c->dead) return true;
  return false;
}

void HostConnection::OnClientReady(int client_id, short revents) {
  auto it = clients_.find(client_id);
  if (it == clients_.end()) return;
  Client* c = it->second.get();
  if (revents & POLLOUT) Flush(*c);
  if (c->dead) {
    Drop(client_id);
    return;
  }
  if (!(revents & (POLLIN | POLLHUP | POLLERR)) || !c->lines.empty()) return;

  char buf[65536];
  ssize_t n = recv(c->fd, buf, sizeof buf, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    Drop(client_id);
    return;
  }
  if (n < 0) return;
  c->in.append(buf, static_cast<size_t>(n));

  // Lines are taken from `from` on and the buffer is cut once at the end: erasing each line in
  // turn would move the rest of a large read once per short line.
  size_t from = 0;
  for (;;) {
    size_t nl = c->in.find('\n', from);
    if (nl == std::string::npos) {
      if (!c->skipping && c->in.size() - from > MaxLineLength) {
        Send(*c, WriteJson(ErrorReply(nullptr, "line too long")));
        c->skipping = true;
      }
      if (c->skipping) from = c->in.size();
      break;
    }
    std::string line = c->in.substr(from, nl - from);
    from = nl + 1;
    if (c->skipping) {
      c->skipping = false;
      continue;
    }
    if (line.size() > MaxLineLength) {
      Send(*c, WriteJson(ErrorReply(nullptr, "line too long")));
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    c->lines.push_back(std::move(line));
  }
  c->in.erase(0, from);
  // A buffer that once held a long line keeps its capacity; give it back when it is idle.
  if (c->in.empty() && c->in.capacity() > kIdleInputCapacity) std::string().swap(c->in);
  if (c->dead) {  // an error reply it does not read
    Drop(client_id);
    return;
  }
  // Read no more until these are served: the socket holds the rest, so a host that sends
  // faster than it is served costs no memory here.
  UpdateEvents(*c);
  PostServe(client_id);
}

void HostConnection::UpdateEvents(Client& c) {
  if (!c.watch) return;
  short events = 0;
  if (!c.dead && c.lines.empty()) events |= POLLIN;
  if (!c.dead && !c.out.empty()) events |= POLLOUT;
  loop_.SetEvents(c.watch, events);
}

// Requests are served from posted messages, one each, not from the socket's handler: a request
// whose call waits (a PTP line set-up, a BACnet answer) processes messages meanwhile, and every
// further request, of any host and of this one too, is then served inside that wait.
void HostConnection::PostServe(int client_id) {
  auto it = clients_.find(client_id);
  if (it == clients_.end() || it->second->serve_posted || it->second->lines.empty()) return;
  it->second->serve_posted = true;
  loop_.Post([this, alive = alive_, client_id] {
    if (*alive) ServeNext(client_id);
  });
}

void HostConnection::ServeNext(int client_id) {
  auto it = clients_.find(client_id);
  if (it == clients_.end()) return;
  Client* c = it->second.get();
  c->serve_posted = false;
  if (c->dead || c->lines.empty()) return;
  if (serve_depth_ >= MaxNestedRequests) return;  // taken up again when an outer one returns
  std::string line = std::move(c->lines.front());
  c->lines.pop_front();
  PostServe(client_id);
  UpdateEvents(*c);

  ++c->serving;
  ++serve_depth_;
  auto alive = alive_;
  bool later = false;
  std::string reply = Serve(client_id, line, &later);
  if (!*alive) return;
  --serve_depth_;
  // A call answering later keeps its host's count of requests in service until it answers.
  if (!later) FinishDeferred(client_id, reply);
  // Requests held back by the nesting limit.
  for (auto& [id, other] : clients_)
    if (!other->serve_posted && !other->lines.empty()) PostServe(id);
}

void HostConnection::FinishDeferred(int client_id, const std::string& reply) {
  auto it = clients_.find(client_id);
  if (it == clients_.end()) return;
  Client* c = it->second.get();
  --c->serving;
  SendWhenIdle(client_id, *c, reply);
  if (c->dead && c->serving == 0) Drop(client_id);
}

// A reply wakes its host, which may then take this processor: what the request set going (a
// request to a device) leaves first.
void HostConnection::SendWhenIdle(int client_id, Client& c, const std::string& line) {
  if (c.dead) return;
  c.out += line;
  c.out.push_back('\n');
  if (c.out.size() > MaxPendingOutput) {
    c.dead = true;  // a host that never reads
    UpdateEvents(c);
    return;
  }
  if (std::exchange(c.flush_posted, true)) return;
  loop_.PostWhenIdle([this, alive = alive_, client_id] {
    if (!*alive) return;
    auto it = clients_.find(client_id);
    if (it == clients_.end()) return;
    Client& w = *it->second;
    w.flush_posted = false;
    Flush(w);
    if (w.dead && w.serving == 0) Drop(client_id);
  });
}

void HostConnection::Send(Client& c, const std::string& line) {
  if (c.dead) return;
  c.out += line;
  c.out.push_back('\n');
  Flush(c);
  if (c.out.size() > MaxPendingOutput) c.dead = true;  // a host that never reads
  if (c.dead) UpdateEvents(c);
}

void HostConnection::Flush(Client& c) {
  while (!c.out.empty() && !c.dead) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c.out.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      c.dead = true;
    }
  }
  UpdateEvents(c);
}

void HostConnection::Drop(int client_id, bool now) {
  auto it = clients_.find(client_id);
  if (it == clients_.end()) return;
  Client& gone = *it->second;
  if (!gone.dead && gone.fd >= 0) Flush(gone);  // replies still waiting for the loop to idle
  if (gone.watch) loop_.Unwatch(gone.watch);
  if (gone.fd >= 0) close(gone.fd);
  gone.watch = 0;
  gone.fd = -1;
  if (gone.serving > 0 && !now) {
    // A request of this host still runs (its call waits): its objects go when it returns.
    gone.dead = true;
    gone.lines.clear();
    ResumeAccepting();
    return;
  }
  std::unique_ptr<Client> c = std::move(it->second);
  clients_.erase(it);
  ResumeAccepting();  // a descriptor is free again
  ReleaseObjectsOf(client_id);
  if (OnClientGone) OnClientGone(client_id);
}

void HostConnection::ReleaseObjectsOf(int client_id) {
  std::vector<int> keys;
  for (const auto& [k, e] : objects_)
    if (e.client == client_id) keys.push_back(k);
  for (int k : keys) DestroyObject(k);
}

void HostConnection::ReleaseAll() {
  while (!objects_.empty()) DestroyObject(objects_.begin()->first);
}

void HostConnection::DestroyObject(int key) {
  auto it = objects_.find(key);
  if (it == objects_.end()) return;
  // Out of the table first: the destructor may process messages and reach this table again.
  std::shared_ptr<HostObject> obj = std::move(it->second.object);
  objects_.erase(it);
  try {
    obj.reset();
  } catch (...) {
  }
  if (OnObjectCountChanged) OnObjectCountChanged(ObjectCount());
}

std::string HostConnection::Serve(int client, const std::string& line) {
  // Nobody is there to take a later answer: a call that would answer later counts as made.
  return Serve(client, line, nullptr);
}

std::string HostConnection::Serve(int client, const std::string& line, bool* later) {
  Json request;
  std::string error;
  bool outside_latin1 = false;
  if (line.size() > MaxLineLength) return WriteJson(ErrorReply(nullptr, "line too long"));
  if (!ParseJson(line, request, error, 64, &outside_latin1)) {
    if (!outside_latin1) return WriteJson(ErrorReply(nullptr, "malformed JSON: " + error));
    // Well-formed, so the reply names the request (unless the id itself was the fault).
    const Json* id = request.kind() == Json::Kind::Object ? request.Find("id") : nullptr;
    if (id && id->kind() != Json::Kind::Integer && id->kind() != Json::Kind::String) id = nullptr;
    return WriteJson(ErrorReply(id, error));
  }
  if (request.kind() != Json::Kind::Object)
    return WriteJson(ErrorReply(nullptr, "request is not a JSON object"));
  try {
    return WriteJson(ServeJson(client, request, later));
  } catch (const std::exception& e) {
    return WriteJson(ErrorReply(request.Find("id"), std::string("internal error: ") + e.what()));
  } catch (...) {
    return WriteJson(ErrorReply(request.Find("id"), "internal error"));
  }
}

Json HostConnection::ServeJson(int client, const Json& request, bool* later) {
  const Json* id = request.Find("id");
  if (id && !(id->kind() == Json::Kind::Integer || id->kind() == Json::Kind::String))
    return ErrorReply(nullptr, "id must be a number or a string");
  const Json* op = request.Find("op");
  if (!op || op->kind() != Json::Kind::String) return ErrorReply(id, "missing op");
  const std::string& o = op->AsString();
  Json reply = Json::Object();
  reply.Set("id", id ? *id : Json());

  auto own_object = [&](int& key) -> std::shared_ptr<HostObject> {
    if (!IntMember(request, "object", key)) return nullptr;
    auto it = objects_.find(key);
    if (it == objects_.end() || it->second.client != client) return nullptr;
    return it->second.object;
  };

  if (o == "create") {
    const Json* progid = request.Find("progid");
    if (!progid || progid->kind() != Json::Kind::String) return ErrorReply(id, "missing progid");
    for (const HostClass& cls : classes_) {
      if (progid->AsString() == cls.ProgId ||
          (!cls.ClassId.empty() &&
           strcasecmp(progid->AsString().c_str(), cls.ClassId.c_str()) == 0)) {
        std::unique_ptr<HostObject> obj;
        try {
          obj = cls.Create();
        } catch (...) {
        }
        if (!obj) return ErrorReply(id, "object creation failed");
        int key = next_object_++;
        objects_[key] = Entry{client, std::move(obj)};
        if (OnObjectCountChanged) OnObjectCountChanged(ObjectCount());
        reply.Set("object", Json::Integer(key));
        return reply;
      }
    }
    return ErrorReply(id, "class not registered: " + progid->AsString());
  }

  if (o == "call") {
    int key = 0;
    // Held for the call: a release served inside its wait must not free it under it.
    std::shared_ptr<HostObject> obj = own_object(key);
    if (!obj) return ErrorReply(id, "unknown object");
    const Json* method = request.Find("method");
    if (!method || method->kind() != Json::Kind::String) return ErrorReply(id, "missing method");
    Variant params;
    if (const Json* p = request.Find("params")) {
      std::string error;
      if (!JsonToVariant(*p, params, error)) return ErrorReply(id, "bad params: " + error);
    }
    // Answered before InvokeLater returns, or later through FinishDeferred.
    struct Call {
      bool returned = false;
      bool answered = false;
      Json reply;
    };
    auto call = std::make_shared<Call>();
    call->reply = std::move(reply);
    bool known = false;
    try {
      known = obj->InvokeLater(method->AsString(), params,
                               [this, alive = alive_, call, obj, client](const Variant& result) {
                                 if (call->answered || !*alive) return;
                                 call->answered = true;
                                 call->reply.Set("result", VariantToJson(result));
                                 if (!call->returned) return;
                                 --deferred_;
                                 FinishDeferred(client, WriteJson(call->reply));
                               });
    } catch (const std::exception& e) {
      call->answered = true;
      return ErrorReply(id, std::string("call failed: ") + e.what());
    } catch (...) {
      call->answered = true;
      return ErrorReply(id, "call failed");
    }
    call->returned = true;
    if (!known) {
      call->answered = true;
      return ErrorReply(id, "unknown method: " + method->AsString());
    }
    if (call->answered) return std::move(call->reply);
    if (later) {
      *later = true;
      ++deferred_;
      return Json();
    }
    // Served where no later answer can be delivered (a direct Serve): the call counts as made.
    call->answered = true;
    call->reply.Set("result", Json());
    return std::move(call->reply);
  }

  if (o == "release") {
    int key = 0;
    if (!own_object(key)) return ErrorReply(id, "unknown object");
    DestroyObject(key);
    reply.Set("released", Json::Bool(true));
    return reply;
  }

  if (o == "watch") {
    const Json* on = request.Find("watch");
    bool watching = !(on && on->kind() == Json::Kind::Bool && !on->AsBool());
    if (auto it = clients_.find(client); it != clients_.end()) it->second->watching = watching;
    reply.Set("watching", Json::Bool(watching));
    return reply;
  }

  if (o == "windows") {
    int lines = DefaultViewLines;
    if (request.Find("lines") && (!IntMember(request, "lines", lines) || lines < 0))
      return ErrorReply(id, "lines must be a non-negative integer");
    Json snap = WindowsSnapshot(lines);
    reply.Set("windows", *snap.Find("windows"));
    reply.Set("confirm", *snap.Find("confirm"));
    return reply;
  }

  if (o == "press") {
    int handle = 0;
    const Json* control = request.Find("control");
    if (!IntMember(request, "window", handle) || !control || control->kind() != Json::Kind::String)
      return ErrorReply(id, "press needs window and control");
    Form* f = desktop_.FromHandle(handle);
    if (!f || !f->FindControl(control->AsString()))
      return ErrorReply(id, "no such window or control");
    // Runs after this reply: a click may ask this very person a question.
    std::string name = control->AsString();
    loop_.Post([this, &desktop = desktop_, alive = alive_, handle, name] {
      Form* form = desktop.FromHandle(handle);
      Control* c = form ? form->FindControl(name) : nullptr;
      if (!c) return;
      try {
        c->Click();
      } catch (...) {
        // Shown by the application's handler when there is one, as any click's failure.
        if (*alive && loop_.OnHandlerException) loop_.OnHandlerException(std::current_exception());
      }
    });
    reply.Set("pressed", Json::Bool(true));
    return reply;
  }

  if (o == "answer") {
    int question = 0;
    const Json* yes = request.Find("yes");
    if (!IntMember(request, "confirm", question) || !yes || yes->kind() != Json::Kind::Bool)
      return ErrorReply(id, "answer needs confirm and yes");
    if (!desktop_.Answer(question, yes->AsBool())) return ErrorReply(id, "no such question");
    reply.Set("answered", Json::Bool(true));
    return reply;
  }

  if (auto it = ops_.find(o); it != ops_.end()) {
    Json fields = it->second(client, request);
    if (fields.kind() != Json::Kind::Object) return ErrorReply(id, "op failed: " + o);
    for (const auto& [name, value] : fields.Members()) reply.Set(name, value);
    return reply;
  }

  return ErrorReply(id, "unknown op: " + o);
}

void HostConnection::RegisterOp(const std::string& op, OpHandler handler) {
  ops_[op] = std::move(handler);
}

bool HostConnection::Push(int client, const std::string& line, size_t limit) {
  auto it = clients_.find(client);
  if (it == clients_.end() || it->second->dead) return false;
  Client& c = *it->second;
  if (c.out.size() > limit) return false;
  Send(c, line);
  return !c.dead;
}

Json HostConnection::WindowsSnapshot(int lines) const {
  Json windows = Json::Array();
  for (Form* f : desktop_.Forms()) {
    Json w = Json::Object();
    w.Set("handle", Json::Integer(f->Handle()));
    w.Set("name", Json::String(f->Name()));
    w.Set("class", Json::String(f->ClassName()));
    w.Set("caption", Json::String(f->Caption));
    w.Set("hint", Json::String(f->Hint));
    w.Set("visible", Json::Bool(f->Visible()));
    w.Set("parent", f->Parent() ? Json::Integer(f->Parent()->Handle()) : Json());
    Json controls = Json::Array();
    for (Control* c : f->Controls()) {
      Json j = Json::Object();
      j.Set("name", Json::String(c->Name()));
      j.Set("kind", Json::String(KindName(c->kind())));
      switch (c->kind()) {
        case Control::Kind::TextView: {
          auto* t = static_cast<TextView*>(c);
          j.Set("count", Json::Integer(t->Count()));
          Json ls = Json::Array();
          int from = t->Count() > lines ? t->Count() - lines : 0;
          for (int i = from; i < t->Count(); ++i) ls.Push(Json::String(t->Lines()[i]));
          j.Set("lines", std::move(ls));
          break;
        }
        case Control::Kind::CheckBox: {
          auto* b = static_cast<CheckBox*>(c);
          j.Set("caption", Json::String(b->Caption));
          j.Set("checked", Json::Bool(b->Checked));
          break;
        }
        case Control::Kind::MenuItem:
          j.Set("path", Json::String(static_cast<MenuItem*>(c)->Path));
          [[fallthrough]];
        case Control::Kind::Button: {
          auto* b = static_cast<Button*>(c);
          j.Set("caption", Json::String(b->Caption));
          j.Set("hint", Json::String(b->Hint));
          break;
        }
        case Control::Kind::StatusPanel:
          j.Set("caption", Json::String(static_cast<StatusPanel*>(c)->Caption));
          break;
      }
      controls.Push(std::move(j));
    }
    w.Set("controls", std::move(controls));
    windows.Push(std::move(w));
  }
  Json out = Json::Object();
  out.Set("windows", std::move(windows));
  const ConfirmationRequest* q = desktop_.PendingQuestion();
  if (q) {
    Json c = Json::Object();
    c.Set("id", Json::Integer(q->Id));
    c.Set("caption", Json::String(q->Caption));
    c.Set("text", Json::String(q->Text));
    out.Set("confirm", std::move(c));
  } else {
    out.Set("confirm", Json());
  }
  return out;
}

}  // namespace zb::platform
