#include "session/command_workers.h"

#include "bacnet/app/event_notification.h"

namespace zb {

std::map<int, TCommandWorker> DefaultWorkers() {
  std::map<int, TCommandWorker> w;
  // Disconnect may wait on a PTP hang-up inside the tick; it runs there to its end.
  w[kCommandDisconnect] = [](TBACnetForm& f) { f.RunDisconnect(); };
  for (int kind :
       {kCommandSiteTime, kCommandSiteStatus, kCommandPointVerify, kCommandGetData,
        kCommandSendPointsList, kCommandGetPointsList, kCommandPointModify,
        kCommandPointGetDisabled, kCommandPointGetValue, kCommandGetAlarms, kCommandGetTrendData})
    w[kind] =
        TCommandWorker::Suspending([kind](TBACnetForm& f) { return RunCommandWorker(f, kind); });
  return w;
}

Task<> RunCommandWorker(TBACnetForm& session, int kind) {
  TCommandWorkers workers(session);
  co_await workers.RunAndFinish(kind);
}

Task<TWorkerOutcome> TCommandWorkers::Run(int kind) {
  const Variant params = f_.Queue.CommandParams;
  switch (kind) {
    case kCommandSiteTime:
      co_return co_await SiteTime();
    case kCommandSiteStatus:
      co_return SiteStatus();
    case kCommandPointVerify:
      co_return PointVerify(params);
    case kCommandGetData:
      co_return co_await GetData(params);
    case kCommandSendPointsList: {
      TSessionClient* owner = f_.Queue.CommandOwner();
      co_return SendPointsList(params, owner ? &owner->PointNames : nullptr);
    }
    case kCommandGetPointsList:
      co_return GetPointsList();
    case kCommandPointModify:
      co_return co_await PointModify(params);
    case kCommandPointGetDisabled:
      co_return co_await PointGetDisabled(params);
    case kCommandPointGetValue:
      co_return co_await PointGetValue(params);
    case kCommandGetAlarms:
      co_return GetAlarms();
    case kCommandGetTrendData:
      co_return co_await GetTrendData(params);
    default: {
      TWorkerOutcome o;
      o.OperationState = 3;
      co_return o;
    }
  }
}

Task<> TCommandWorkers::RunAndFinish(int kind) {
  TWorkerOutcome o = co_await Run(kind);
  if (f_.Queue.CommandCurrent()) {
    if (o.ErrorTextSet) f_.Queue.SetError(o.ErrorText);
    f_.Queue.OperationState = o.OperationState;
    f_.Queue.SetStatus("");
    f_.Queue.CommandResult = o.CommandResult;
  }
  f_.Queue.EndCommand();
}

Task<bacnet::TBACnetDevice::TAnswer> TCommandWorkers::Answer(int handle) {
  co_return co_await f_.BACnetDevice1.Answer(handle);
}

Task<int> TCommandWorkers::Read(const std::string& address, int property, Variant& values,
                                int index) {
  std::vector<Variant> items{Variant(address), Variant(std::to_string(property))};
  if (index >= 0) items.emplace_back(std::to_string(index));
  values = Variant();
  bacnet::TBACnetDevice::TAnswer a =
      co_await Answer(f_.BACnetDevice1.RequestRead(Variant::MakeList(std::move(items))));
  values = std::move(a.Values);
  co_return a.Response;
}

bool InstallPointList(TBACnetForm& session, TSessionClient* caller, const Variant& params) {
  std::vector<std::string> scratch;
  return session.Points.InstallPointList(params, caller ? caller->PointNames : scratch);
}

}  // namespace zb
