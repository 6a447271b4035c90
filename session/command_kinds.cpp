#include "session/command_kinds.h"

namespace zb {

namespace {
const TCommandKind kCommands[] = {
    {"SITETIME", kCommandSiteTime, "Reading Site Time..."},
    {"SITESTATUS", kCommandSiteStatus, "Reading Site Status..."},
    {"POINTVERIFY", kCommandPointVerify, "Verifying Point Name..."},
    {"GETDATA", kCommandGetData, "Reading Data..."},
    {"SENDDATA", kCommandSendData, nullptr},
    {"SENDPOINTSLIST", kCommandSendPointsList, "Writing Data..."},
    {"GETPOINTSLIST", kCommandGetPointsList, "Reading Data..."},
    {"POINTMODIFY", kCommandPointModify, "Modifying Point..."},
    {"POINTGETDISABLED", kCommandPointGetDisabled, "Reading Point State..."},
    {"POINTGETVALUE", kCommandPointGetValue, "Reading Point Value..."},
    {"GETALARMS", kCommandGetAlarms, "Reading Data..."},
    {"GETSCHEDULE", kCommandGetSchedule, nullptr},
    {"SETSCHEDULE", kCommandSetSchedule, nullptr},
    {"GETTRENDDATA", kCommandGetTrendData, "Reading Trend Data..."},
};
}  // namespace

const TCommandKind* FindCommand(std::string_view command) {
  for (const TCommandKind& c : kCommands)
    if (command == c.Name) return &c;
  return nullptr;
}

std::span<const TCommandKind> AllCommands() { return kCommands; }

const char* ProgressText(int kind) {
  for (const TCommandKind& c : kCommands)
    if (c.Kind == kind) return c.Progress;
  return nullptr;
}

}  // namespace zb
