// GETDATA: the driver commands GETPOINTSLIST (every object of every known device),
// GETVENDORINFO, READPROPERTIES and WRITEPROPERTIES; ACKALARM lives with the alarms.
#include <algorithm>

#include "bacnet/app/last_failure.h"
#include "bacnet/app/point_address.h"
#include "bacnet/app/property_id.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "session/command_workers.h"
#include "session/param_list.h"
#include "session/site_texts.h"
#include "support/strings.h"

namespace zb {

namespace {

Variant EmptyTexts(int n) {
  std::vector<Variant> items(size_t(n), Variant(""));
  return Variant::MakeList(std::move(items));
}

std::string UpperCase(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

constexpr int kMaxProperties = 256;
// Object-list entries that fail one after another before the rest of that device's list is
// given up.
constexpr int kObjectListFailuresToStop = 3;

// PROP0, PROP1, ... up to the first missing one.
std::vector<int> PropertyList(const Variant& params) {
  std::vector<int> props;
  for (int i = 0; i < kMaxProperties; ++i) {
    std::string text;
    try {
      if (!FindParam(params, "PROP" + std::to_string(i), text)) break;
    } catch (...) {
      break;
    }
    props.push_back(TextToInt(text));
  }
  return props;
}

}  // namespace

Task<TWorkerOutcome> TCommandWorkers::GetData(const Variant& params) {
  TWorkerOutcome o;
  o.CommandResult = EmptyTexts(4);
  std::string command;
  try {
    FindParam(params, "DRIVERCOMMAND", command);
  } catch (...) {
  }
  command = UpperCase(command);
  bool ok = false;
  if (command == "GETPOINTSLIST")
    ok = co_await DriverGetPointsList(o.CommandResult);
  else if (command == "GETVENDORINFO")
    ok = co_await DriverGetVendorInfo(params, o.CommandResult);
  else if (command == "READPROPERTIES")
    ok = co_await DriverReadProperties(params, o.CommandResult);
  else if (command == "WRITEPROPERTIES")
    ok = co_await DriverWriteProperties(params, o.CommandResult);
  else if (command == "ACKALARM") {
    ok = co_await DriverAckAlarm(params, o.CommandResult);
    o.ErrorTextSet = true;
    if (!ok) o.ErrorText = "Could not acknowledge the alarm.";
  }
  o.OperationState = ok ? 2 : 3;
  co_return o;
}

Task<bool> TCommandWorkers::DriverGetPointsList(Variant& result) {
  // The trailing element with the text read last is not reproduced: a host that takes every
  // element for an object would list a bogus one.
  Variant list = Variant::MakeArray(0, -1);
  try {
    for (const bacnet::TBACnetBinding& b : std::vector(stack_.Device.Bindings())) {
      try {
        const std::string device = bacnet::FormatObjectAddress(bacnet::kObjectDevice, b.Instance,
                                                               b.Network, b.Address.view());
        Variant values;
        std::string text;
        if (co_await Read(device, bacnet::kPropObjectList, values, 0) !=
                bacnet::kResponseComplexAck ||
            !AnswerItemText(values, 4, text))
          continue;
        const int count = TextToInt(text);
        // A device whose list ends before the length it claims, or that stops answering, would
        // otherwise cost one failed read (up to a full retry cycle) per missing entry.
        int failed_in_a_row = 0;
        for (int j = 1; j <= count && failed_in_a_row < kObjectListFailuresToStop; ++j) {
          if (co_await Read(device, bacnet::kPropObjectList, values, j) !=
              bacnet::kResponseComplexAck) {
            ++failed_in_a_row;
            continue;
          }
          failed_in_a_row = 0;
          std::string typeText, instanceText;
          if (!AnswerItemText(values, 4, typeText, 2) ||
              !AnswerItemText(values, 4, instanceText, 3))
            continue;
          const int type = TextToInt(typeText), instance = TextToInt(instanceText);
          bacnet::TBACnetPointAddress a;
          a.Network = b.Network;
          a.DeviceAddress = b.Address.view();
          a.ObjectType = type;
          a.InstanceID = instance;
          a.PropertyID = -1;
          a.ShortForm = false;
          const std::string address = bacnet::FormatPointAddress(a);
          if (co_await Read(address, bacnet::kPropObjectName, values) !=
              bacnet::kResponseComplexAck)
            continue;
          const std::string name = bacnet::FindTaggedValue(values, bacnet::kElementApplication,
                                                           bacnet::kAppTagCharacterString, "\x03");
          std::string units;
          if (type >= bacnet::kObjectAnalogInput && type <= bacnet::kObjectAnalogValue) {
            if (co_await Read(address, bacnet::kPropUnits, values) == bacnet::kResponseComplexAck) {
              int index = 0;
              std::string e = bacnet::FindTaggedValue(values, bacnet::kElementApplication,
                                                      bacnet::kAppTagEnumerated, "\x03", index);
              if (index >= 0) units = UnitsText(TextToInt(e));
            }
          } else if (type == bacnet::kObjectLoop) {
            std::string e;
            if (co_await Read(address, bacnet::kPropOutputUnits, values) ==
                    bacnet::kResponseComplexAck &&
                AnswerItemText(values, 3, e))
              units = UnitsText(TextToInt(e));
          } else if (type >= bacnet::kObjectBinaryInput && type <= bacnet::kObjectBinaryValue) {
            std::string inactive = "Off", active = "On", t;
            if (co_await Read(address, bacnet::kPropInactiveText, values) ==
                    bacnet::kResponseComplexAck &&
                AnswerItemText(values, 3, t))
              inactive = t;
            if (co_await Read(address, bacnet::kPropActiveText, values) ==
                    bacnet::kResponseComplexAck &&
                AnswerItemText(values, 3, t))
              active = t;
            units = inactive + "/" + active;
          }
          list.Append(Variant(ObjectListElement(address, name, units, type)));
        }
      } catch (...) {
        // this device ends here; the next one is listed
      }
    }
  } catch (...) {
    co_return false;
  }
  result = list;
  co_return true;
}

Task<bool> TCommandWorkers::DriverGetVendorInfo(const Variant& params, Variant& result) {
  try {
    std::string text;
    FindParam(params, "POINTADDRESS", text);
    if (text.empty()) {
      result = EmptyTexts(2);
      co_return true;
    }
    bacnet::TBACnetPointAddress a;
    bacnet::ParsePointAddress(text, a);
    const std::string key = std::to_string(a.Network) + "~" + std::string(a.DeviceAddress.view());
    // An entry matches on its network and address parts exactly: a plain substring search
    // would let network 10's entry answer for network 0.
    auto matches = [&key](const std::string& entry) {
      size_t first = entry.find('~');
      if (first == std::string::npos) return false;
      size_t second = entry.find('~', first + 1);
      return second != std::string::npos && entry.compare(second + 1, std::string::npos, key) == 0;
    };
    auto it = std::find_if(site_.VendorCache.begin(), site_.VendorCache.end(), matches);
    std::string entry;
    if (it != site_.VendorCache.end()) {
      entry = *it;
    } else {
      Variant values;
      std::string vendor;
      if (co_await Read(text, bacnet::kPropVendorIdentifier, values) ==
              bacnet::kResponseComplexAck &&
          AnswerItemText(values, 3, vendor)) {
        std::string model;
        if (co_await Read(text, bacnet::kPropModelName, values) != bacnet::kResponseComplexAck ||
            !AnswerItemText(values, 3, model))
          model.clear();
        std::replace(model.begin(), model.end(), '~', ' ');
        entry = vendor + "~" + model + "~" + key;
        site_.VendorCache.insert(
            std::upper_bound(site_.VendorCache.begin(), site_.VendorCache.end(), entry), entry);
      }
    }
    if (entry.empty()) {
      result = EmptyTexts(2);
      co_return true;
    }
    const std::string vendorId = TextBefore(entry, "~");
    const size_t first = entry.find('~');
    const size_t second = entry.find('~', first + 1);
    const std::string model = entry.substr(first + 1, second - first - 1);
    result = Variant::MakeList({Variant("VENDORID=" + std::to_string(TextToInt(vendorId))),
                                Variant("MODELNAME=" + model)});
    co_return true;
  } catch (...) {
  }
  co_return false;
}

Task<bool> TCommandWorkers::DriverReadProperties(const Variant& params, Variant& result) {
  if (site_.Offline) co_return true;
  try {
    std::string point;
    FindParam(params, "POINTADDRESS", point);
    const std::string address = BraceGroup(point, 3);
    const std::vector<int> props = PropertyList(params);
    result = EmptyTexts(int(props.size()) + 1);
    for (size_t i = 0; i < props.size(); ++i) {
      const int handle = stack_.Device.RequestRead(
          Variant::MakeList({Variant(address), Variant(std::to_string(props[i]))}));
      bacnet::TBACnetDevice::TAnswer a = co_await Answer(handle);
      const int response = a.Response;
      const std::string& data = a.Data;
      const std::string name = "PROP" + std::to_string(props[i]) + "=";
      result[int(i)] = response == bacnet::kResponseComplexAck
                           ? Variant(name + BytesToHex(data))
                           : Variant(name + "ERROR: " + bacnet::LastErrorText());
    }
  } catch (...) {
    result = EmptyTexts(2);
  }
  co_return true;
}

Task<bool> TCommandWorkers::DriverWriteProperties(const Variant& params, Variant& result) {
  if (site_.Offline) co_return true;
  try {
    std::string point;
    FindParam(params, "POINTADDRESS", point);
    const std::string address = BraceGroup(point, 3);
    const std::vector<int> props = PropertyList(params);
    result = EmptyTexts(int(props.size()) + 1);
    for (size_t i = 0; i < props.size(); ++i) {
      std::string hex;
      FindParam(params, "DATA" + std::to_string(i), hex);
      const int handle = stack_.Device.RequestWriteEncoded(
          Variant::MakeList({Variant(address), Variant(std::to_string(props[i]))}),
          HexToBytes(hex));
      // Nothing sent counts as an error answer.
      const int response =
          handle > 0 ? (co_await Answer(handle)).Response : int(bacnet::kResponseError);
      result[int(i)] = response == bacnet::kResponseSimpleAck
                           ? Variant("RESULT" + std::to_string(props[i]) + "=")
                           : Variant("RESULT" + std::to_string(i) + "=" + bacnet::LastErrorText());
    }
  } catch (...) {
    result = EmptyTexts(2);
  }
  co_return true;
}

}  // namespace zb
