#include "session/command_workers.h"

#include "bacnet/app/event_notification.h"

namespace zb {

namespace {

using Outcome = Task<TWorkerOutcome>;
using Worker = TCommandWorkers::Worker;

struct WorkerEntry {
  int Kind;
  Worker Run;
};

// Kind → worker, the one place a queued kind is dispatched. The workers that never wait hand
// back their outcome at once.
constexpr WorkerEntry kWorkerTable[] = {
    {kCommandSiteTime,
     [](TCommandWorkers& w, const Variant&, TSessionClient*) -> Outcome {
       co_return co_await w.SiteTime();
     }},
    {kCommandSiteStatus,
     [](TCommandWorkers& w, const Variant&, TSessionClient*) -> Outcome {
       co_return w.SiteStatus();
     }},
    {kCommandPointVerify,
     [](TCommandWorkers& w, const Variant& p, TSessionClient*) -> Outcome {
       co_return w.PointVerify(p);
     }},
    {kCommandGetData,
     [](TCommandWorkers& w, const Variant& p, TSessionClient*) -> Outcome {
       co_return co_await w.GetData(p);
     }},
    {kCommandSendPointsList,
     [](TCommandWorkers& w, const Variant& p, TSessionClient* owner) -> Outcome {
       co_return w.SendPointsList(p, owner ? &owner->PointNames : nullptr);
     }},
    {kCommandGetPointsList,
     [](TCommandWorkers& w, const Variant&, TSessionClient*) -> Outcome {
       co_return w.GetPointsList();
     }},
    {kCommandPointModify,
     [](TCommandWorkers& w, const Variant& p, TSessionClient*) -> Outcome {
       co_return co_await w.PointModify(p);
     }},
    {kCommandPointGetDisabled,
     [](TCommandWorkers& w, const Variant& p, TSessionClient*) -> Outcome {
       co_return co_await w.PointGetDisabled(p);
     }},
    {kCommandPointGetValue,
     [](TCommandWorkers& w, const Variant& p, TSessionClient*) -> Outcome {
       co_return co_await w.PointGetValue(p);
     }},
    {kCommandGetAlarms,
     [](TCommandWorkers& w, const Variant&, TSessionClient*) -> Outcome {
       co_return w.GetAlarms();
     }},
    {kCommandGetTrendData,
     [](TCommandWorkers& w, const Variant& p, TSessionClient*) -> Outcome {
       co_return co_await w.GetTrendData(p);
     }},
};

}  // namespace

std::map<int, TCommandWorker> DefaultWorkers() {
  std::map<int, TCommandWorker> w;
  // Disconnect suspends while a PTP line hangs up; the tick starts it, after a set-up has ended.
  w[kCommandDisconnect] = TCommandWorker::Suspending(RunDisconnect, false);
  for (const WorkerEntry& e : kWorkerTable)
    w[e.Kind] = TCommandWorker::Suspending(
        [run = e.Run](TWorkerContext c) { return RunCommandWorker(c, run); });
  return w;
}

Task<> RunCommandWorker(TWorkerContext context, TCommandWorkers::Worker worker) {
  TCommandWorkers workers(context);
  co_await workers.RunAndFinish(worker);
}

Task<> RunDisconnect(TWorkerContext c) {
  bool closed = false;
  try {
    closed = co_await c.Stack.Close();
  } catch (...) {
    closed = false;
  }
  if (closed) c.Site.Connected = false;
  if (c.Queue.CommandCurrent()) {
    if (!closed) c.Queue.SetError("Could not disconnect from BACnet network.");
    c.Queue.OperationState = 2;
    c.Queue.SetStatus("");
  }
  c.Queue.EndCommand();
}

TCommandWorkers::Worker TCommandWorkers::Find(int kind) {
  for (const WorkerEntry& e : kWorkerTable)
    if (e.Kind == kind) return e.Run;
  return nullptr;
}

Task<TWorkerOutcome> TCommandWorkers::Run(Worker worker) {
  if (!worker) {
    TWorkerOutcome o;
    o.OperationState = 3;
    co_return o;
  }
  // Copies: the queue may be taken over while the worker waits.
  const Variant params = queue_.CommandParams;
  co_return co_await worker(*this, params, queue_.CommandOwner());
}

Task<> TCommandWorkers::RunAndFinish(Worker worker) {
  TWorkerOutcome o = co_await Run(worker);
  if (queue_.CommandCurrent()) {
    if (o.ErrorTextSet) queue_.SetError(o.ErrorText);
    queue_.OperationState = o.OperationState;
    queue_.SetStatus("");
    queue_.CommandResult = o.CommandResult;
  }
  queue_.EndCommand();
}

Task<int> TCommandWorkers::Read(const std::string& address, int property, Variant& values,
                                int index) {
  bacnet::TBACnetPointAddress a;
  if (!bacnet::ParsePointAddress(address, a)) {
    values = Variant();
    co_return 0;
  }
  co_return co_await Read(a, property, values, index);
}

Task<int> TCommandWorkers::Read(const bacnet::TBACnetPointAddress& address, int property,
                                Variant& values, int index) {
  values = Variant();
  bacnet::TBACnetDevice::TAnswer a =
      co_await Answer(stack_.Device.RequestRead(address, property, index));
  values = std::move(a.Values);
  co_return a.Response;
}

}  // namespace zb
