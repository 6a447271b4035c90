// The workers of the host's commands (kinds 4 to 18) on their session. The session starts the
// worker of its pending command (DefaultWorkers); each worker reads the queued parameter list,
// talks BACnet through the site's device, keeps what it learns in the site's data and finishes
// the command on the queue. Workers see the stack, the queue and the data, never the window.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bacnet/app/pdu.h"
#include "platform/task.h"
#include "platform/variant.h"
#include "session/command_kinds.h"
#include "session/command_queue.h"
#include "session/session_client.h"
#include "session/site_data.h"
#include "session/site_stack.h"

namespace zb {

// What a worker works with: the site's stack, its session's command queue and the site's data.
struct TWorkerContext {
  TSiteStack& Stack;
  TCommandQueue& Queue;
  TSiteData& Site;
};

// A command's worker. A suspending worker is a coroutine: it starts as soon as its command is
// queued (a posted message) and is resumed by its answers, so it never holds up a tick. A plain
// one runs to its end inside the session tick, where the driver's timer keeps ticks from nesting.
class TCommandWorker {
 public:
  using Starter = std::function<platform::Task<>(TWorkerContext context)>;

  TCommandWorker() = default;
  TCommandWorker(std::nullptr_t) {}
  // A plain function (tests inject those) runs to its end when the session tick starts it.
  template <typename F,
            typename = std::enable_if_t<std::is_invocable_v<F&, TWorkerContext&> &&
                                        !std::is_same_v<std::decay_t<F>, TCommandWorker>>>
  TCommandWorker(F f)
      : start_([run = std::make_shared<F>(std::move(f))](TWorkerContext c) {
          return Plain(run, c);
        }) {}
  // at_once: started from a posted message when queued, not only by the session tick.
  static TCommandWorker Suspending(Starter start, bool at_once = true) {
    TCommandWorker w;
    w.start_ = std::move(start);
    w.at_once_ = at_once;
    return w;
  }

  explicit operator bool() const { return bool(start_); }
  bool StartsAtOnce() const { return at_once_; }
  platform::Task<> Start(TWorkerContext context) const { return start_(context); }

 private:
  template <typename F>
  static platform::Task<> Plain(std::shared_ptr<F> run, TWorkerContext c) {
    (*run)(c);
    co_return;
  }
  Starter start_;
  bool at_once_ = false;
};
// Kind → worker for every queued command kind (2 and the kinds with a progress text).
std::map<int, TCommandWorker> DefaultWorkers();

// What a worker leaves behind; RunAndFinish hands it to the queue.
struct TWorkerOutcome {
  int OperationState = 2;     // 2 done, 3 failed
  bool ErrorTextSet = false;  // ErrorText replaces the session's error text when set
  std::string ErrorText;
  Variant CommandResult = Variant("");
};

// The parts of a POINTMODIFY parameter ({a}{address}{...=value}{TRUE|FALSE}).
struct TPointModifyPlan {
  std::string Address;
  bool ValueRequested = false;
  std::string Value;      // quotes still on
  int OutOfService = -1;  // -1 leave, 0 false, 1 true
};
TPointModifyPlan PlanPointModify(std::string_view point);

template <typename T = void>
using Task = platform::Task<T>;

// The workers. Each is a coroutine that suspends while it waits for a BACnet answer, so the
// session tick that starts it returns at once and other sessions run meanwhile. Nothing a worker
// holds across a wait may point into the session's queue state (Owner may leave meanwhile).
class TCommandWorkers {
 public:
  explicit TCommandWorkers(TWorkerContext context)
      : stack_(context.Stack), queue_(context.Queue), site_(context.Site) {}

  // A worker: the outcome of the queued command from its parameters and the owner it works for.
  using Worker = Task<TWorkerOutcome> (*)(TCommandWorkers& w, const Variant& params,
                                          TSessionClient* owner);
  // The worker of a queued kind; nullptr for a kind without one.
  static Worker Find(int kind);

  // The worker with the queued parameters; none fails.
  Task<TWorkerOutcome> Run(Worker worker);
  Task<TWorkerOutcome> Run(int kind) { return Run(Find(kind)); }
  // Run, then finish the queue's command with the outcome.
  Task<> RunAndFinish(Worker worker);

  TWorkerOutcome PointVerify(const Variant& params);
  TWorkerOutcome SendPointsList(const Variant& params, std::vector<std::string>* pointNames);
  TWorkerOutcome GetPointsList();
  Task<TWorkerOutcome> PointModify(const Variant& params);
  Task<TWorkerOutcome> PointGetDisabled(const Variant& params);
  Task<TWorkerOutcome> PointGetValue(const Variant& params);
  Task<TWorkerOutcome> SiteTime();
  TWorkerOutcome SiteStatus();
  Task<TWorkerOutcome> GetData(const Variant& params);
  TWorkerOutcome GetAlarms();
  Task<TWorkerOutcome> GetTrendData(const Variant& params);

 private:
  // A read of [address, property] (and index when >= 0); the response code, 0 when nothing
  // could be sent.
  Task<int> Read(const std::string& address, int property, Variant& values, int index = -1);
  Task<int> Read(const bacnet::TBACnetPointAddress& address, int property, Variant& values,
                 int index = -1);
  // A confirmed request already sent (handle from RequestXxx / SendPDU), answered.
  bacnet::TBACnetDevice::AnswerAwaiter Answer(int handle) { return stack_.Device.Answer(handle); }
  Task<bool> DriverGetPointsList(Variant& result);
  Task<bool> DriverGetVendorInfo(const Variant& params, Variant& result);
  Task<bool> DriverReadProperties(const Variant& params, Variant& result);
  Task<bool> DriverWriteProperties(const Variant& params, Variant& result);
  Task<bool> DriverAckAlarm(const Variant& params, Variant& result);

  TSiteStack& stack_;
  TCommandQueue& queue_;
  TSiteData& site_;
};

// The worker coroutine of a queued kind (what DefaultWorkers' entries start).
Task<> RunCommandWorker(TWorkerContext context, TCommandWorkers::Worker worker);

// The disconnect worker (kind 2): closes the chosen link.
Task<> RunDisconnect(TWorkerContext context);

// The device's OnNotificationReceived: one alarm line per alarm or event notification; `log`
// tells a person when a full buffer drops the oldest line.
void HandleAlarmNotification(TSiteData& site, const bacnet::TBACnetPDU& pdu,
                             const std::function<void(const std::string&)>& log);

}  // namespace zb
