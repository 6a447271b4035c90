// The workers of the host's commands (kinds 4 to 18) on their session. The session tick runs
// the worker of its pending command (DefaultWorkers); each worker reads the queued parameter
// list, talks BACnet through the session's device and finishes the command.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bacnet/app/pdu.h"
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

// The workers, each run to its end inside the session tick (waiting for BACnet answers there).
class TCommandWorkers {
 public:
  explicit TCommandWorkers(TBACnetForm& session) : f_(session) {}

  TWorkerOutcome Run(int kind);
  // Run, then finish the session's command with the outcome.
  void RunAndFinish(int kind);

  TWorkerOutcome PointVerify(const Variant& params);
  TWorkerOutcome SendPointsList(const Variant& params, std::vector<std::string>* pointNames);
  TWorkerOutcome GetPointsList();
  TWorkerOutcome PointModify(const Variant& params);
  TWorkerOutcome PointGetDisabled(const Variant& params);
  TWorkerOutcome PointGetValue(const Variant& params);
  TWorkerOutcome SiteTime();
  TWorkerOutcome SiteStatus();
  TWorkerOutcome GetData(const Variant& params);
  TWorkerOutcome GetAlarms();
  TWorkerOutcome GetTrendData(const Variant& params);

 private:
  // ReadSync of [address, property] (and index when >= 0); the response code.
  int Read(const std::string& address, int property, Variant& values, int index = -1);
  bool DriverGetPointsList(Variant& result);
  bool DriverGetVendorInfo(const Variant& params, Variant& result);
  bool DriverReadProperties(const Variant& params, Variant& result);
  bool DriverWriteProperties(const Variant& params, Variant& result);
  bool DriverAckAlarm(const Variant& params, Variant& result);

  TBACnetForm& f_;
};

// SENDPOINTSLIST through ExecuteImmediate: the session's table rebuilt from the caller's list.
bool InstallPointList(TBACnetForm& session, TSessionClient* caller, const Variant& params);

// The device's OnNotificationReceived: one alarm line per alarm or event notification.
void HandleAlarmNotification(TBACnetForm& session, const bacnet::TBACnetPDU& pdu);

}  // namespace zb
