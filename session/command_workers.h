// The workers of the host's commands (kinds 4 to 18) and the session state only they use: the
// point table with its background scan, the site clock offset, the vendor cache, the alarm
// buffer and the trend buffer. The session's command queue runs a worker with the queued
// parameter list and applies the outcome (operation state, error text, result list); the
// session's device events are handed to HandleResponse and HandleNotification.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bacnet/app/device.h"
#include "platform/variant.h"
#include "session/point_table.h"
#include "session/trend_records.h"

namespace zb {

// What a worker leaves behind.
struct TWorkerOutcome {
  int OperationState = 2;        // 2 done, 3 failed
  bool ErrorTextSet = false;     // ErrorText replaces the session's error text when set
  std::string ErrorText;
  Variant CommandResult = Variant("");
};

// The parts of a POINTMODIFY parameter ({a}{address}{...=value}{TRUE|FALSE}).
struct TPointModifyPlan {
  std::string Address;
  bool ValueRequested = false;
  std::string Value;       // quotes still on
  int OutOfService = -1;   // -1 leave, 0 false, 1 true
};
TPointModifyPlan PlanPointModify(std::string_view point);

// Command kinds with a worker here.
enum : int {
  kCommandSiteTime = 4,
  kCommandSiteStatus = 5,
  kCommandPointVerify = 6,
  kCommandGetData = 7,
  kCommandSendPointsList = 9,
  kCommandGetPointsList = 10,
  kCommandPointModify = 12,
  kCommandPointGetDisabled = 13,
  kCommandPointGetValue = 14,
  kCommandGetAlarms = 15,
  kCommandGetTrendData = 18,
};

class TCommandWorkers {
 public:
  explicit TCommandWorkers(bacnet::TBACnetDevice& device) : device_(device) {}

  // ---- inputs from the session ---------------------------------------------------------
  bool Offline = false;
  std::string Description;
  std::function<double()> Now;  // local date-time; LocalNow when not set

  // ---- session state owned here --------------------------------------------------------
  TPointCache Points;
  double SiteClockOffset = 0;             // days: local time minus site time
  std::vector<std::string> VendorCache;   // sorted: vendor~model~network~address octets
  std::vector<std::string> AlarmBuffer;   // oldest first
  TTrendBuffer TrendBuffer;
  int TrendCount() const { return TrendBuffer.Count(); }

  static bool Handles(int kind);
  // Runs the worker of `kind` to its end (waiting for BACnet answers inside). pointNames is the
  // Owner's PointNames list (SENDPOINTSLIST); may be null for the other kinds.
  TWorkerOutcome Run(int kind, const Variant& params, std::vector<std::string>* pointNames);

  // SENDPOINTSLIST through ExecuteImmediate.
  bool InstallPointList(const Variant& params, std::vector<std::string>& pointNames) {
    return Points.InstallPointList(params, pointNames);
  }
  // One step of the background scan (the session tick calls it while no command is pending).
  void ScanStep();
  // The device's OnResponseReceived and OnNotificationReceived.
  void HandleResponse(int handle, int response, const Variant& data) {
    Points.HandleScanResponse(handle, response, data);
  }
  void HandleNotification(const bacnet::TBACnetPDU& pdu);

  bacnet::TBACnetDevice& device() { return device_; }

 private:
  double NowValue() const;
  // ReadSync of [address, property] (and index when >= 0); the response code.
  int Read(const std::string& address, int property, Variant& values, int index = -1);

  TWorkerOutcome PointVerify(const Variant& params);
  TWorkerOutcome SendPointsList(const Variant& params, std::vector<std::string>* pointNames);
  TWorkerOutcome GetPointsList();
  TWorkerOutcome PointModify(const Variant& params);
  TWorkerOutcome PointGetDisabled(const Variant& params);
  TWorkerOutcome PointGetValue(const Variant& params);
  TWorkerOutcome SiteTime();
  TWorkerOutcome SiteStatus();
  TWorkerOutcome GetData(const Variant& params);
  bool DriverGetPointsList(Variant& result);
  bool DriverGetVendorInfo(const Variant& params, Variant& result);
  bool DriverReadProperties(const Variant& params, Variant& result);
  bool DriverWriteProperties(const Variant& params, Variant& result);
  bool DriverAckAlarm(const Variant& params, Variant& result);
  TWorkerOutcome GetAlarms();
  TWorkerOutcome GetTrendData(const Variant& params);

  bacnet::TBACnetDevice& device_;
};

}  // namespace zb
