// The workers of the host's commands (kinds 4 to 18) on their session. The session tick runs
// the worker of its pending command (DefaultWorkers); each worker reads the queued parameter
// list, talks BACnet through the session's device and finishes the command.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bacnet/app/pdu.h"
#include "platform/task.h"
#include "platform/variant.h"
#include "session/bacnet_form.h"
#include "session/command_kinds.h"

namespace zb {

// What a worker leaves behind; ApplyOutcome hands it to the session.
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
  explicit TCommandWorkers(TBACnetForm& session) : f_(session) {}

  Task<TWorkerOutcome> Run(int kind);
  // Run, then finish the session's command with the outcome.
  Task<> RunAndFinish(int kind);

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
  // A confirmed request already sent (handle from RequestXxx / SendPDU), answered.
  Task<bacnet::TBACnetDevice::TAnswer> Answer(int handle);
  Task<bool> DriverGetPointsList(Variant& result);
  Task<bool> DriverGetVendorInfo(const Variant& params, Variant& result);
  Task<bool> DriverReadProperties(const Variant& params, Variant& result);
  Task<bool> DriverWriteProperties(const Variant& params, Variant& result);
  Task<bool> DriverAckAlarm(const Variant& params, Variant& result);

  TBACnetForm& f_;
};

// The worker coroutine of a queued kind (what DefaultWorkers' entries start).
Task<> RunCommandWorker(TBACnetForm& session, int kind);

// SENDPOINTSLIST through ExecuteImmediate: the session's table rebuilt from the caller's list.
bool InstallPointList(TBACnetForm& session, TSessionClient* caller, const Variant& params);

// The device's OnNotificationReceived: one alarm line per alarm or event notification.
void HandleAlarmNotification(TBACnetForm& session, const bacnet::TBACnetPDU& pdu);

}  // namespace zb
