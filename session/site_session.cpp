#include "session/site_session.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "session/command_kinds.h"

namespace zb {

TSiteSession::TSiteSession(platform::MessageLoop& loop,
                           const platform::ModemLineEmulations* emulations)
    : Stack(loop, emulations), Workers(DefaultWorkers()), loop_(loop) {
  Stack.SetTrace([this](void* sender, const std::string& text, int channel) {
    LogLine(sender, text, channel);
  });
  Stack.Device.OnResponseReceived = [this](void*, int handle, int response, const Variant& data) {
    Points.HandleScanResponse(handle, response, data);
  };
  Stack.Device.OnNotificationReceived = [this](void*, const bacnet::TBACnetPDU& pdu) {
    HandleAlarmNotification(*this, pdu,
                            [this](const std::string& text) { LogLine(this, text, 3); });
  };
  Stack.Device.OnBindingsUpdated = [](void*) {};
  Stack.PTP.OnShowMessage = [this](const std::string& text) {
    LogLine(this, text, 3);
    if (OnShowMessage) OnShowMessage(text);
  };
}

TSiteSession::~TSiteSession() {
  // Work suspended on this session's stack goes first, while that stack still exists.
  worker_.Reset();
  setup_.Reset();
  // Connects waiting for the set-up are answered all the same (the session they obtained is gone).
  for (auto& ended : std::exchange(setup_ended_, {})) loop_.Post(std::move(ended));
  *alive_ = false;
  // Clients still holding this session forget it instead of keeping a dangling reference.
  std::vector<TSessionClient*> users = std::move(users_);
  users_.clear();
  for (TSessionClient* u : users) u->SessionGone(this);
  Stack.SetCapture(nullptr);
  std::vector<CaptureSink> sinks = std::move(capture_sinks_);
  capture_sinks_.clear();
  for (CaptureSink& s : sinks)
    if (s.Gone) s.Gone();
  Queue.Owner = nullptr;
  Stack.SetTrace(nullptr);
  Stack.PTP.OnShowMessage = nullptr;
}

void TSiteSession::LogLine(void*, const std::string&, int) {}

void TSiteSession::PostStartWorker() {
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) StartWorker();
  });
}

int TSiteSession::AddCaptureSink(bacnet::CaptureHandler sink, std::function<void()> gone) {
  const int id = next_capture_sink_++;
  capture_sinks_.push_back({id, std::move(sink), std::move(gone)});
  Stack.SetCapture([this](const bacnet::TCapturedPacket& p) { Captured(p); });
  return id;
}

void TSiteSession::RemoveCaptureSink(int id) {
  std::erase_if(capture_sinks_, [id](const CaptureSink& s) { return s.Id == id; });
  if (capture_sinks_.empty()) {
    // Without a capture the links do not even build the packet record.
    Stack.SetCapture(nullptr);
  }
}

void TSiteSession::Captured(const bacnet::TCapturedPacket& packet) {
  // A sink may remove itself (its reader went away) while the list is walked.
  std::vector<int> ids;
  for (const CaptureSink& s : capture_sinks_) ids.push_back(s.Id);
  for (int id : ids) {
    auto it = std::find_if(capture_sinks_.begin(), capture_sinks_.end(),
                           [id](const CaptureSink& s) { return s.Id == id; });
    if (it == capture_sinks_.end() || !it->Sink) continue;
    bacnet::CaptureHandler sink = it->Sink;
    sink(packet);
  }
}

void TSiteSession::AddUser(TSessionClient* client) {
  if (client && std::find(users_.begin(), users_.end(), client) == users_.end())
    users_.push_back(client);
}

void TSiteSession::RemoveUser(TSessionClient* client) {
  users_.erase(std::remove(users_.begin(), users_.end(), client), users_.end());
  if (Queue.Owner == client) Queue.Release(client);
}

bool TSiteSession::StartCommand(TSessionClient* driver, int kind, const Variant& params) {
  const char* progress = ProgressText(kind);
  if (!progress) return true;
  // One command at a time: a worker still running (even for an owner that has gone) would
  // otherwise end the new command with its own outcome.
  if (!Queue.Enqueue(driver, kind, params, progress)) return false;
  auto it = Workers.find(kind);
  if (it != Workers.end() && it->second.StartsAtOnce()) {
    // Started from the loop at once rather than on the next tick; the queue rules are the
    // same, since only a pending command with no worker running is started.
    PostStartWorker();
  }
  return true;
}

void TSiteSession::StartWorker() {
  // The same rule as the tick's: one worker at a time, none during a line set-up.
  if (!Queue.WaitingToStart() || connect_operation_ != 0) return;
  auto it = Workers.find(Queue.PendingCommand);
  if (it == Workers.end() || !it->second) return;
  const int operation = Queue.BeginCommand();
  worker_ = it->second.Start(WorkerContext());
  if (!worker_.Valid()) {
    Queue.FinishCommand(false);
    return;
  }
  starting_worker_ = true;
  worker_.Start([this, operation] { WorkerEnded(operation); });
  starting_worker_ = false;
  if (worker_.Done() && worker_.Error()) std::rethrow_exception(worker_.Error());
}

void TSiteSession::WorkerEnded(int operation) {
  std::exception_ptr error = worker_.Error();
  if (!error) return;
  // A worker that lets an exception out still ends its command, as a plain one does.
  try {
    std::string text = "Unknown exception";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      text = e.what();
    } catch (...) {
    }
    if (Queue.RunningOperation == operation) Queue.FinishCommand(false, text);
    // Resumed from the loop, the failure is shown by the loop's handler as a tick's would be.
    if (!starting_worker_) loop_.Post([error] { std::rethrow_exception(error); });
  } catch (...) {
  }
}

bool TSiteSession::ConnectFor(TSessionClient* driver, std::function<void()> ended) {
  // Runs when this connect's outcome is stored: now, or when the line set-up ends.
  struct EndsNow {
    std::function<void()>& ended;
    ~EndsNow() {
      if (ended) ended();
    }
  } ends_now{ended};
  BusyScope busy(*this);
  // A connect takes the session over, whatever it was doing. A command queued but not started
  // would run for nobody (and a queued disconnect would close the network this connect reports
  // open).
  const int operation = Queue.TakeOver(driver);
  if (connect_operation_ != 0) {
    // The line set-up in progress reports to this connect instead.
    connect_operation_ = operation;
    if (ended) setup_ended_.push_back(std::move(ended));
    return true;
  }
  Offline = Info.PanelType == 1 && Info.Offline;
  if (Offline) {
    Queue.ResetOperation();
    Queue.OperationState = 2;
    Queue.SetStatus("");
    Connected = true;
    return true;
  }

  Stack.Configure(TDeviceSettings::From(Info));

  bool ok = false;
  try {
    if (Info.PanelType == 0) {
      Stack.UseBIP(TBIPSettings::From(Info));
      ok = Stack.Open();
      if (ok) LogLine(this, "Bound to " + Stack.BoundAddress(), 3);
    } else if (Info.PanelType == 1) {
      // A repeated connect keeps a line that is up. A line whose set-up failed, that a
      // disconnect closed or that dropped is set up again: calling it connected would be false.
      if (Stack.PTPLineUp()) {
        ok = true;
      } else {
        Stack.UsePTP(TPTPSettings::From(Info));
        Queue.ResetOperation();
        Queue.OperationState = 1;
        Queue.SetStatus("Connecting...");
        connect_operation_ = operation;
        if (ended) setup_ended_.push_back(std::move(ended));
        setup_ = SetUpLine();
        setup_.Start();
        return true;
      }
    }
  } catch (const std::exception& e) {
    LogLine(this, e.what(), 3);
    ok = false;
  }
  ConnectEnded(ok, operation);
  return true;
}

platform::Task<> TSiteSession::SetUpLine() {
  bool ok = false;
  try {
    ok = co_await Stack.OpenAwaited();
  } catch (const std::exception& e) {
    LogLine(this, e.what(), 3);
    ok = false;
  }
  ConnectEnded(ok, std::exchange(connect_operation_, 0));
  for (auto& ended : std::exchange(setup_ended_, {})) loop_.Post(std::move(ended));
  // A command queued meanwhile waited for the line.
  PostStartWorker();
}

void TSiteSession::ConnectEnded(bool ok, int reportTo) {
  Connected = ok;
  if (ok) Discovery("WhoIs");
  // While the line was set up the session may have been taken over (a disconnect, a release):
  // then nobody waits for this outcome.
  Queue.ConnectEnded(reportTo, ok, "Could not connect to BACnet network.");
}

bool TSiteSession::DisconnectFor(TSessionClient* driver) {
  Queue.QueueDisconnect(driver, kCommandDisconnect, !Offline);
  if (Offline) Connected = false;
  return true;
}

void TSiteSession::Discovery(const char* whoisLog) {
  Stack.Device.SendWhoIs();
  LogLine(this, whoisLog, 3);
  Stack.Device.SendIAmRouterToNetwork();
  LogLine(this, "IAmRouter", 3);
}

void TSiteSession::Tick() {
  BusyScope busy(*this);
  // Second discovery, once, when nobody answered the first.
  if (Stack.Device.Bindings().empty() && Connected && RediscoveryCountdown > 0) {
    if (--RediscoveryCountdown == 0) {
      RediscoveryCountdown = -1;
      Discovery("***NONE***");
    }
  }
  // An uncollected result is dropped.
  Queue.HoldTick();

  Stack.Device.EndLostWaits();
  // Not during a line set-up (StartWorker's rule): a disconnect must not close the line under it.
  StartWorker();

  if (Queue.PendingCommand != 0) {
    Points.ScanState = 0;
  } else {
    Points.ScanStep(
        Offline, [this](const Variant& request) { return Stack.Device.RequestRead(request); },
        ScanTimeoutTicks(Stack.Device.APDUTimeout(), Stack.Device.NumberOfAPDURetries));
  }
}

}  // namespace zb
