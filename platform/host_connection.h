// The host connection: stands in for the automation (COM) runtime of an out-of-process server.
// A Unix stream socket (mode 0600) carries one JSON object per line in both directions:
//
//   {"id":N,"op":"create","progid":"<progid or class id>"}      -> {"id":N,"object":K}
//   {"id":N,"op":"call","object":K,"method":M,"params":V}        -> {"id":N,"result":V}
//   {"id":N,"op":"release","object":K}                           -> {"id":N,"released":true}
//   anything malformed, unknown or oversized                     -> {"id":N or null,"error":"..."}
//
// Variants travel as json.h describes. Objects belong to the connection that created them; when it
// goes away they are released, as the runtime does for a client that died. Every request is served
// on the message loop, also while another request or handler waits in a nested loop (a command
// waiting for a BACnet answer, a line set-up), whichever host sent it: the re-entrance the driver
// relies on. Replies then leave in the order the requests finish, each with its request's id. A
// call may also answer later (HostObject::InvokeLater): the host's next requests are served
// meanwhile, and a host that leaves before the answer has its objects released when it comes.
//
// Window view (separate ops, for a person watching through the host tool):
//   {"id":N,"op":"watch"}                         -> {"id":N,"watching":true}   this connection has
//   a person
//   {"id":N,"op":"windows","lines":L}             -> {"id":N,"windows":[...],"confirm":{...}|null}
//   {"id":N,"op":"press","window":H,"control":C}  -> {"id":N,"pressed":true}     click runs just
//   after
//   {"id":N,"op":"answer","confirm":Q,"yes":B}    -> {"id":N,"answered":true}
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/json.h"
#include "platform/message_loop.h"
#include "platform/variant.h"

namespace zb::platform {

// One object the host can create and call.
class HostObject {
 public:
  virtual ~HostObject() = default;
  // Runs `method` with one parameter list; false when the object has no such method.
  virtual bool Invoke(const std::string& method, const Variant& params, Variant& result) = 0;
  // The same for a method that may answer later: `reply` runs once, before this returns or from
  // a later message, without the loop being nested meanwhile. False (and no reply) when there
  // is no such method. The connection holds the object until the reply.
  using Reply = std::function<void(const Variant& result)>;
  virtual bool InvokeLater(const std::string& method, const Variant& params, Reply reply) {
    Variant result;
    if (!Invoke(method, params, result)) return false;
    reply(result);
    return true;
  }
};

struct HostClass {
  std::string ProgId;   // e.g. "ZelBACnetServer.ZelBACnetServerDriver"
  std::string ClassId;  // "{...}", accepted in place of the ProgId (letter case ignored)
  std::function<std::unique_ptr<HostObject>()> Create;
};

// Serves the host objects and shows a person the windows of one desktop.
class HostConnection final : public WindowViewer {
 public:
  HostConnection(MessageLoop& loop, Desktop& desktop);
  ~HostConnection();  // closes the socket and releases every object
  HostConnection(const HostConnection&) = delete;
  HostConnection& operator=(const HostConnection&) = delete;

  void RegisterClass(HostClass cls);

  // Binds and listens at `path` (mode 0600). A stale socket file nobody answers on is replaced;
  // a live one is an error.
  bool Listen(const std::string& path, std::string& error);
  const std::string& path() const { return path_; }

  // Serves a connected stream descriptor as one host (used by Listen's acceptor and by tests
  // with a socketpair). Takes ownership of fd.
  void Adopt(int fd);

  int ObjectCount() const { return static_cast<int>(objects_.size()); }
  int ClientCount() const { return static_cast<int>(clients_.size()); }
  // True while a connection that declared a person ("watch") is open.
  bool PersonWatching() const override;

  // Releases every object of every host (shut-down).
  void ReleaseAll();

  // An operation served by a layer above: answers the reply's fields (the id is added; an
  // "error" field makes it an error reply). Handlers must not throw.
  using OpHandler = std::function<Json(int client, const Json& request)>;
  void RegisterOp(const std::string& op, OpHandler handler);
  // A line the client did not ask for (a stream of events). Dropped, and false returned, when
  // more than `limit` octets already wait for the client or the client is gone: a slow reader
  // of a stream must not make the server hold memory without bound.
  bool Push(int client, const std::string& line, size_t limit);
  // Fires when a client's connection has closed.
  std::function<void(int client)> OnClientGone;

  // Fires after an object was created or released, with the new count.
  std::function<void(int count)> OnObjectCountChanged;

  // Requests longer than this are refused and skipped up to the next line break; it also bounds
  // a connection's unfinished input.
  size_t MaxLineLength = 1 << 20;
  // Hosts connected at once; one more gets an error line and is closed.
  int MaxClients = 64;
  // Out of descriptors, accepting pauses this long (or until a host leaves).
  static constexpr int kAcceptRetryMs = 500;
  bool AcceptPaused() const { return accept_paused_; }
  // A host that stops reading is dropped once this much output is waiting for it.
  size_t MaxPendingOutput = 64u << 20;
  // Longest tail of a text view sent by "windows" when the request gives no "lines".
  int DefaultViewLines = 200;
  // Requests served nested in one another's waits at most; further ones wait for one to return.
  int MaxNestedRequests = 16;

  // Serves one request line for client `client` (public for tests and the fuzz target); returns
  // the reply line without its line break.
  std::string Serve(int client, const std::string& line);
  // Calls answered later that have not answered yet.
  int DeferredReplies() const { return deferred_; }

 private:
  struct Client;
  struct Entry {
    int client;
    std::shared_ptr<HostObject> object;
  };

  void OnListenReady();
  void PauseAccepting();
  void ResumeAccepting();
  void OnClientReady(int client_id, short revents);
  void Send(Client& c, const std::string& line);
  void SendWhenIdle(int client_id, Client& c, const std::string& line);
  void Flush(Client& c);
  void UpdateEvents(Client& c);
  void PostServe(int client_id);
  void ServeNext(int client_id);
  // now: also while a request of this client is on the call stack (shut-down).
  void Drop(int client_id, bool now = false);
  void ReleaseObjectsOf(int client_id);
  void DestroyObject(int key);
  // later: set when the reply will come through FinishDeferred instead of being returned.
  Json ServeJson(int client, const Json& request, bool* later = nullptr);
  std::string Serve(int client, const std::string& line, bool* later);
  void FinishDeferred(int client_id, const std::string& reply);
  Json WindowsSnapshot(int lines) const;

  MessageLoop& loop_;
  Desktop& desktop_;
  std::vector<HostClass> classes_;
  std::map<std::string, OpHandler> ops_;
  std::string path_;
  int listen_fd_ = -1;
  int listen_watch_ = 0;
  bool accept_paused_ = false;
  Timer resume_timer_;
  static constexpr size_t kIdleInputCapacity = 64 * 1024;
  std::map<int, std::unique_ptr<Client>> clients_;
  int next_client_ = 1;
  std::map<int, Entry> objects_;
  int next_object_ = 1;
  int serve_depth_ = 0;
  int deferred_ = 0;
  std::shared_ptr<bool> alive_;
};

// The default socket path: $XDG_RUNTIME_DIR/zelbacnet.sock, else
// /tmp/zelbacnet-<uid>/zelbacnet.sock.
std::string DefaultHostSocketPath();
// Makes sure the directory of the default path under /tmp is this user's own: creates it mode 0700,
// and refuses one that another user owns or others may write (someone could put their own socket
// there). Other paths are the caller's choice and are not checked.
bool SecureDefaultSocketDirectory(const std::string& socket_path, std::string& error);

}  // namespace zb::platform
