#include "session/command_workers.h"

#include "bacnet/app/event_notification.h"

namespace zb {

std::map<int, TCommandWorker> DefaultWorkers() {
  std::map<int, TCommandWorker> w;
  w[kCommandDisconnect] = [](TBACnetForm& f) { f.RunDisconnect(); };
  for (int kind :
       {kCommandSiteTime, kCommandSiteStatus, kCommandPointVerify, kCommandGetData,
        kCommandSendPointsList, kCommandGetPointsList, kCommandPointModify,
        kCommandPointGetDisabled, kCommandPointGetValue, kCommandGetAlarms, kCommandGetTrendData})
    w[kind] = [kind](TBACnetForm& f) { TCommandWorkers(f).RunAndFinish(kind); };
  return w;
}

TWorkerOutcome TCommandWorkers::Run(int kind) {
  const Variant params = f_.CommandParams;
  switch (kind) {
    case kCommandSiteTime:
      return SiteTime();
    case kCommandSiteStatus:
      return SiteStatus();
    case kCommandPointVerify:
      return PointVerify(params);
    case kCommandGetData:
      return GetData(params);
    case kCommandSendPointsList: {
      TSessionClient* owner = f_.CommandOwner();
      return SendPointsList(params, owner ? &owner->PointNames : nullptr);
    }
    case kCommandGetPointsList:
      return GetPointsList();
    case kCommandPointModify:
      return PointModify(params);
    case kCommandPointGetDisabled:
      return PointGetDisabled(params);
    case kCommandPointGetValue:
      return PointGetValue(params);
    case kCommandGetAlarms:
      return GetAlarms();
    case kCommandGetTrendData:
      return GetTrendData(params);
    default: {
      TWorkerOutcome o;
      o.OperationState = 3;
      return o;
    }
  }
}

void TCommandWorkers::RunAndFinish(int kind) {
  TWorkerOutcome o = Run(kind);
  if (f_.CommandCurrent()) {
    if (o.ErrorTextSet) f_.SetError(o.ErrorText);
    f_.OperationState = o.OperationState;
    f_.SetStatus("");
    f_.CommandResult = o.CommandResult;
  }
  f_.EndCommand();
}

int TCommandWorkers::Read(const std::string& address, int property, Variant& values, int index) {
  std::vector<Variant> items{Variant(address), Variant(std::to_string(property))};
  if (index >= 0) items.emplace_back(std::to_string(index));
  int response = 0;
  values = Variant();
  f_.BACnetDevice1.ReadSync(Variant::MakeList(std::move(items)), response, values);
  return response;
}

bool InstallPointList(TBACnetForm& session, TSessionClient* caller, const Variant& params) {
  std::vector<std::string> scratch;
  return session.Points.InstallPointList(params, caller ? caller->PointNames : scratch);
}

}  // namespace zb
