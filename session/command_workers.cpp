// The worker table: which function the session tick runs for each queued command kind. Each
// family of commands keeps its workers in a file of its own; this file only maps kinds to them.
#include "session/bacnet_form.h"
#include "session/command_kinds.h"

namespace zb {

namespace {

// SENDPOINTSLIST queued (kind 9): the same rebuild as the immediate call, with the stored list
// and the Owner's scratch list.
void SendPointsListWorker(TBACnetForm& s) {
  std::vector<std::string> scratch;
  bool ok = s.Points.InstallPointList(s.CommandParams, s.Owner ? s.Owner->PointNames : scratch);
  s.FinishCommand(ok);
}

// Stands in for a worker that has not been written yet: the command still passes through the
// queue and ends, failed, so the host's polling completes.
void NotAvailableWorker(TBACnetForm& s) { s.FinishCommand(false, "Command not available."); }

}  // namespace

std::map<int, TCommandWorker> DefaultWorkers() {
  std::map<int, TCommandWorker> w;
  w[kCommandDisconnect] = [](TBACnetForm& s) { s.RunDisconnect(); };
  for (int kind : {kCommandSiteTime, kCommandSiteStatus, kCommandPointVerify, kCommandGetData,
                   kCommandGetPointsList, kCommandPointModify, kCommandPointGetDisabled,
                   kCommandPointGetValue, kCommandGetAlarms, kCommandGetTrendData})
    w[kind] = NotAvailableWorker;
  w[kCommandSendPointsList] = SendPointsListWorker;
  return w;
}

}  // namespace zb
