// One site connection without its window: the site's BACnet stack, the command queue the driver
// objects share, the site's data, the worker of the queued command, the connect and disconnect
// sequence, discovery and the session tick. The window (session/bacnet_form.h) only shows it.
//
// Workers: Workers[Queue.PendingCommand] runs the queued command. The table starts as
// DefaultWorkers() (session/command_workers.cpp); each family of commands has its own file of
// workers.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/task.h"
#include "platform/variant.h"
#include "session/command_queue.h"
#include "session/command_workers.h"
#include "session/session_client.h"
#include "session/site_data.h"
#include "session/site_stack.h"

namespace zb {

class TSiteSession : public TSiteData {
 public:
  // emulations: handed to the site stack's serial port (see TSerialPort).
  explicit TSiteSession(platform::MessageLoop& loop,
                        const platform::ModemLineEmulations* emulations = nullptr);
  virtual ~TSiteSession();
  TSiteSession(const TSiteSession&) = delete;
  TSiteSession& operator=(const TSiteSession&) = delete;

  // The site's BACnet stack; declared first, so everything below that refers to it goes first.
  TSiteStack Stack;
  TCommandQueue Queue;
  int RediscoveryCountdown = 30;
  std::map<int, TCommandWorker> Workers;

  // Messages for the user from the stack (a serial port that cannot be re-opened). They are
  // logged, and this shows them: the driver window puts them in its status panel, where they stay
  // (the session's own panel is taken over by the progress text at once).
  std::function<void(const std::string& text)> OnShowMessage;

  // ---- operations --------------------------------------------------------------------------
  void CopyInfo(const TConnectionInfo& info) { Info.Assign(info); }
  // Connects for `driver`. Over PTP the line set-up runs on as a task of the session
  // ("Connecting..." meanwhile); `ended` runs once the outcome is stored (at once when nothing had
  // to be set up, else from a posted message when the set-up ends or the session goes away).
  bool ConnectFor(TSessionClient* driver, std::function<void()> ended = nullptr);
  bool DisconnectFor(TSessionClient* driver);
  // Queues a command kind for `driver` (kinds without a progress text change nothing); false
  // while another is queued or running.
  bool StartCommand(TSessionClient* driver, int kind, const Variant& params);

  // The session tick (every ProcessTimer tick of the driver window). It starts the queued
  // command's worker when nothing has yet, and never waits for a suspending one.
  void Tick();
  // A suspending worker has started and not yet ended.
  bool WorkerSuspended() const { return worker_.Valid() && !worker_.Done(); }

  // ---- live captures of the session's traffic ------------------------------------------------
  // Every packet either link sends or receives goes to each sink; `gone` runs when the session
  // goes away first. Returns the sink's number for RemoveCaptureSink.
  int AddCaptureSink(bacnet::CaptureHandler sink, std::function<void()> gone);
  void RemoveCaptureSink(int id);
  int CaptureSinkCount() const { return static_cast<int>(capture_sinks_.size()); }

  // ---- users (the driver objects that hold this session) -----------------------------------
  void AddUser(TSessionClient* client);
  void RemoveUser(TSessionClient* client);
  int UserCount() const { return static_cast<int>(users_.size()); }
  // True while an operation of this session is on the call stack (a tick, a connect) or a line
  // set-up runs; the window refuses to close then, as it does while the network is open.
  bool Busy() const { return busy_ > 0 || connect_operation_ != 0; }
  // A PTP line set-up started by a connect has not ended yet.
  bool SettingUpLine() const { return connect_operation_ != 0; }

  platform::MessageLoop& loop() { return loop_; }
  // What this session's workers work with.
  TWorkerContext WorkerContext() { return {Stack, Queue, *this}; }

 protected:
  // Every line the stack and the session log (channel 0 trace, 1..3 log). A window shows them;
  // while the session is torn down they go nowhere.
  virtual void LogLine(void* sender, const std::string& text, int channel);

 private:
  struct BusyScope {
    explicit BusyScope(TSiteSession& s) : s_(s) { ++s_.busy_; }
    ~BusyScope() { --s_.busy_; }
    TSiteSession& s_;
  };
  void Discovery(const char* whoisLog);
  // Starts the pending command's suspending worker unless one runs; a failure it ends with
  // comes out of here when it ended at once.
  void StartWorker();
  void PostStartWorker();
  void WorkerEnded(int operation);
  platform::Task<> SetUpLine();
  // Stores a connect's outcome for the operation it reports to.
  void ConnectEnded(bool ok, int reportTo);

  struct CaptureSink {
    int Id;
    bacnet::CaptureHandler Sink;
    std::function<void()> Gone;
  };
  void Captured(const bacnet::TCapturedPacket& packet);

  platform::MessageLoop& loop_;
  std::vector<CaptureSink> capture_sinks_;
  int next_capture_sink_ = 1;
  std::vector<TSessionClient*> users_;
  int busy_ = 0;
  // The connect whose outcome a line set-up in progress reports (0: none in progress). A connect
  // arriving meanwhile takes this over instead of opening the line a second time.
  int connect_operation_ = 0;
  platform::Task<> worker_;
  platform::Task<> setup_;
  std::vector<std::function<void()>> setup_ended_;
  bool starting_worker_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace zb
