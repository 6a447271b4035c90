// Alarm lines from event notifications, GETALARMS and the driver command ACKALARM.
#include "bacnet/app/event_notification.h"
#include "session/alarm_lines.h"
#include "session/command_workers.h"
#include "session/param_list.h"

namespace zb {

namespace {

// A host that never fetches must not let the buffer grow without end; the oldest lines go.
constexpr size_t kAlarmBufferLimit = 10000;

}  // namespace

void HandleAlarmNotification(TSiteData& site, const bacnet::TBACnetPDU& pdu,
                             const std::function<void(const std::string&)>& log) {
  try {
    const bacnet::TEventNotification n = bacnet::DecodeEventNotification(pdu.Values);
    std::string line;
    if (!FormatAlarmLine(n, pdu.SourceNetwork, pdu.SourceAddress.view(), line)) return;
    if (site.AlarmBuffer.size() >= kAlarmBufferLimit) {
      site.AlarmBuffer.erase(site.AlarmBuffer.begin());
      // Anyone on the network can fill the buffer: a person must be able to see that alarms
      // were lost, and how many.
      ++site.AlarmsDropped;
      log("Alarm buffer full (" + std::to_string(kAlarmBufferLimit) + "): oldest alarm dropped, " +
          std::to_string(site.AlarmsDropped) + " dropped so far");
    }
    site.AlarmBuffer.push_back(std::move(line));
  } catch (...) {
  }
}

TWorkerOutcome TCommandWorkers::GetAlarms() {
  TWorkerOutcome o;
  const size_t n = site_.AlarmBuffer.size();
  Variant list = Variant::MakeArray(0, int(n) - 1);
  for (size_t i = 0; i < n; ++i)
    list[int(i)] = Variant("ALARM" + std::to_string(i) + "=" + site_.AlarmBuffer[i]);
  site_.AlarmBuffer.erase(site_.AlarmBuffer.begin(), site_.AlarmBuffer.begin() + long(n));
  o.CommandResult = list;
  return o;
}

Task<bool> TCommandWorkers::DriverAckAlarm(const Variant& params, Variant& result) {
  if (site_.Offline) co_return false;
  result = Variant::MakeList({Variant(""), Variant("")});
  try {
    std::string reference, user;
    if (!FindParam(params, "BND", reference) || !FindParam(params, "USERNAME", user))
      co_return false;
    TAckReference r;
    if (!ParseAckReference(reference, r)) co_return false;
    bacnet::TAcknowledgeAlarm ack;
    ack.ProcessIdentifier = r.ProcessIdentifier;
    ack.EventObjectType = r.EventObjectType;
    ack.EventInstance = r.EventInstance;
    ack.ToState = r.ToState;
    ack.TimeStamp = r.TimeStamp;
    ack.UserName = user;
    const bacnet::TBACnetDevice::TAnswer a =
        co_await Answer(stack_.Device.RequestAcknowledgeAlarm(ack, r.Network, r.Address));
    co_return a.Response == bacnet::kResponseSimpleAck;
  } catch (...) {
  }
  co_return false;
}

}  // namespace zb
