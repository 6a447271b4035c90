// Workers of SITETIME and SITESTATUS.
#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/point_address.h"
#include "bacnet/app/property_id.h"
#include "session/command_workers.h"
#include "session/param_list.h"
#include "session/site_texts.h"

namespace zb {

namespace {

const char kCouldNotRead[] = "Could not read data from panel.";

std::string BindingAddress(const bacnet::TBACnetBinding& b) {
  return bacnet::FormatObjectAddress(bacnet::kObjectDevice, b.Instance, b.Network,
                                     b.Address.view());
}

// The raw octets of a date or time answer (item 2 of element 3).
bool AnswerOctets(const Variant& values, std::string& octets) {
  return AnswerItemText(values, 3, octets) && octets.size() >= 3;
}

}  // namespace

Task<TWorkerOutcome> TCommandWorkers::SiteTime() {
  TWorkerOutcome o;
  try {
    double now = bacnet::LocalNow(stack_.Device.loop().clock());
    double siteTime = now;
    if (!site_.Offline) {
      for (const bacnet::TBACnetBinding& b : std::vector(stack_.Device.Bindings())) {
        const std::string address = BindingAddress(b);
        Variant values;
        std::string date, time;
        if (co_await Read(address, bacnet::kPropLocalDate, values) != bacnet::kResponseComplexAck ||
            !AnswerOctets(values, date))
          continue;
        if (co_await Read(address, bacnet::kPropLocalTime, values) != bacnet::kResponseComplexAck ||
            !AnswerOctets(values, time))
          continue;
        // The offset pairs the site's clock with our own at the moment it was read; devices
        // that kept us waiting before must not shift it.
        const double readAt = bacnet::LocalNow(stack_.Device.loop().clock());
        const auto u = [](char c) { return static_cast<unsigned char>(c); };
        // Hundredths only sharpen the offset; the texts show whole seconds either way.
        const int hundredths = time.size() > 3 && u(time[3]) <= 99 ? u(time[3]) : 0;
        double d = 0, t = 0;
        if (!bacnet::TryEncodeDate(u(date[0]) + 1900, u(date[1]), u(date[2]), d) ||
            !bacnet::TryEncodeTime(u(time[0]), u(time[1]), u(time[2]), hundredths * 10, t))
          throw std::runtime_error("unspecified site clock");
        siteTime = d + t;
        now = readAt;
        break;
      }
    }
    o.CommandResult = Variant::MakeList(
        {Variant(MakeParam("SITETIME", ShortDateText(siteTime) + " " + LongTimeText(siteTime))),
         Variant("")});
    site_.SiteClockOffset = now - siteTime;
  } catch (...) {
    o = TWorkerOutcome();
    o.OperationState = 3;
    o.ErrorTextSet = true;
    o.ErrorText = kCouldNotRead;
  }
  co_return o;
}

TWorkerOutcome TCommandWorkers::SiteStatus() {
  TWorkerOutcome o;
  try {
    if (site_.Offline) {
      o.CommandResult = Variant::MakeList({Variant(site_.Info.Description), Variant("Offline")});
      return o;
    }
    std::vector<Variant> items;
    for (std::string& line :
         SiteStatusLines(stack_.Device.Bindings(),
                         bacnet::LocalNow(stack_.Device.loop().clock()) - site_.SiteClockOffset))
      items.emplace_back(std::move(line));
    o.CommandResult = Variant::MakeList(std::move(items));
  } catch (...) {
    o.OperationState = 3;
    o.ErrorTextSet = true;
    o.ErrorText = kCouldNotRead;
  }
  return o;
}

}  // namespace zb
