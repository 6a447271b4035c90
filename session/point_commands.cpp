// Workers of the point commands: POINTVERIFY, SENDPOINTSLIST, GETPOINTSLIST, POINTMODIFY,
// POINTGETDISABLED and POINTGETVALUE.
#include "bacnet/app/point_address.h"
#include "bacnet/app/property_id.h"
#include "session/command_workers.h"
#include "session/param_list.h"
#include "support/strings.h"

namespace zb {

namespace {

const char kInvalidAddress[] = "Point Address is Invalid. See help for more information.";
const char kCouldNotRead[] = "Could not read data from panel.";
const char kCouldNotModify[] = "Could not modify point.";

TWorkerOutcome Failed(const char* error) {
  TWorkerOutcome o;
  o.OperationState = 3;
  o.ErrorTextSet = true;
  o.ErrorText = error;
  return o;
}

// An address that names no property means its present value.
int PropertyOf(const bacnet::TBACnetPointAddress& a) {
  return a.PropertyID == -1 ? bacnet::kPropPresentValue : a.PropertyID;
}

int PropertyOf(const std::string& address) {
  bacnet::TBACnetPointAddress a;
  bacnet::ParsePointAddress(address, a);
  return PropertyOf(a);
}

}  // namespace

TPointModifyPlan PlanPointModify(std::string_view point) {
  TPointModifyPlan plan;
  plan.Address = BraceGroup(point, 2);
  const std::string third = BraceGroup(point, 3);
  size_t eq = third.find('=');
  plan.Value =
      eq == std::string::npos ? (third.empty() ? third : third.substr(1)) : third.substr(eq + 1);
  plan.ValueRequested = !plan.Value.empty();
  const std::string fourth = BraceGroup(point, 4);
  if (fourth.find("TRUE") != std::string::npos)
    plan.OutOfService = 1;
  else if (fourth.find("FALSE") != std::string::npos)
    plan.OutOfService = 0;
  return plan;
}

TWorkerOutcome TCommandWorkers::PointVerify(const Variant& params) {
  TWorkerOutcome o;
  std::string name, text;
  try {
    FindParam(params, "POINTNAME", name);
    FindParam(params, "POINTADDRESS", text);
  } catch (...) {
  }
  bacnet::TBACnetPointAddress a;
  if (bacnet::ParsePointAddress(text, a)) {
    o.CommandResult =
        Variant::MakeList({Variant(MakeParam("POINTNAME", name)),
                           Variant(MakeParam("POINTADDRESS", bacnet::FormatPointAddress(a)))});
    return o;
  }
  o = Failed(kInvalidAddress);
  o.CommandResult = Variant::MakeList({Variant(MakeParam("ERRORSTRING", kInvalidAddress))});
  return o;
}

TWorkerOutcome TCommandWorkers::SendPointsList(const Variant& params,
                                               std::vector<std::string>* pointNames) {
  TWorkerOutcome o;
  std::vector<std::string> scratch;
  if (!site_.Points.InstallPointList(params, pointNames ? *pointNames : scratch))
    o.OperationState = 3;
  return o;
}

TWorkerOutcome TCommandWorkers::GetPointsList() {
  TWorkerOutcome o;
  Variant list = Variant::MakeArray(0, -1);
  try {
    int k = 0;
    for (int i = 0; i < site_.Points.PointTable.Count(); ++i) {
      const TPointData& d = site_.Points.PointTable.Data(i);
      if (!d.HasValue) continue;
      list.Append(Variant("POINT" + std::to_string(k++) + "={" +
                          site_.Points.PointTable.Address(i) + "}{VALUE=" + d.Value + "}"));
    }
  } catch (...) {
  }
  o.CommandResult = list;
  return o;
}

Task<TWorkerOutcome> TCommandWorkers::PointGetValue(const Variant& params) {
  try {
    std::string point;
    if (site_.Offline || !FindParam(params, "POINT", point)) co_return Failed(kCouldNotRead);
    bacnet::TBACnetPointAddress address;
    if (!bacnet::ParsePointAddress(BraceGroup(point, 2), address)) co_return Failed(kCouldNotRead);
    Variant values;
    std::string text;
    if (co_await Read(address, PropertyOf(address), values) == bacnet::kResponseComplexAck &&
        AnswerItemText(values, 3, text)) {
      TWorkerOutcome o;
      o.ErrorTextSet = true;
      o.CommandResult = Variant::MakeList({Variant(MakeParam("VALUE", text)), Variant("")});
      co_return o;
    }
  } catch (...) {
  }
  co_return Failed(kCouldNotRead);
}

Task<TWorkerOutcome> TCommandWorkers::PointGetDisabled(const Variant& params) {
  try {
    std::string point;
    if (site_.Offline || !FindParam(params, "POINT", point)) co_return Failed(kCouldNotModify);
    const std::string address = BraceGroup(point, 2);
    Variant values;
    std::string text;
    if (co_await Read(address, bacnet::kPropOutOfService, values) == bacnet::kResponseComplexAck &&
        AnswerItemText(values, 3, text)) {
      TWorkerOutcome o;
      o.ErrorTextSet = true;
      o.CommandResult =
          Variant::MakeList({Variant(MakeBoolParam("DISABLED", TextToBool(text))), Variant("")});
      co_return o;
    }
  } catch (...) {
  }
  co_return Failed(kCouldNotModify);
}

Task<TWorkerOutcome> TCommandWorkers::PointModify(const Variant& params) {
  try {
    std::string point;
    if (site_.Offline || !FindParam(params, "POINT", point)) co_return Failed(kCouldNotModify);
    TPointModifyPlan plan = PlanPointModify(point);
    bool ok = false;
    if (plan.OutOfService >= 0) {
      const int handle = stack_.Device.RequestWrite(Variant::MakeList(
          {Variant(plan.Address), Variant(std::to_string(bacnet::kPropOutOfService)),
           Variant(plan.OutOfService == 1)}));
      const int response = (co_await Answer(handle)).Response;
      ok = response == bacnet::kResponseSimpleAck;
    }
    if (plan.ValueRequested) {
      std::string value = plan.Value;
      if (!value.empty() && value.front() == '"') value.erase(0, 1);
      if (!value.empty() && value.back() == '"') value.pop_back();
      const int handle = stack_.Device.RequestWrite(
          Variant::MakeList({Variant(plan.Address),
                             Variant(std::to_string(PropertyOf(plan.Address))), Variant(value)}));
      const int response = (co_await Answer(handle)).Response;
      if (response == bacnet::kResponseSimpleAck) {
        site_.Points.StorePointValue(plan.Address, value);
        ok = true;
      }
    }
    if (ok) {
      TWorkerOutcome o;
      o.ErrorTextSet = true;
      co_return o;
    }
  } catch (...) {
  }
  co_return Failed(kCouldNotModify);
}

}  // namespace zb
