// The host's command names, their command kinds and the progress text shown while they run.
#pragma once

#include <span>
#include <string_view>

namespace zb {

enum : int {
  kCommandDisconnect = 2,
  kCommandSiteTime = 4,
  kCommandSiteStatus = 5,
  kCommandPointVerify = 6,
  kCommandGetData = 7,
  kCommandSendData = 8,
  kCommandSendPointsList = 9,
  kCommandGetPointsList = 10,
  kCommandPointModify = 12,
  kCommandPointGetDisabled = 13,
  kCommandPointGetValue = 14,
  kCommandGetAlarms = 15,
  kCommandGetSchedule = 16,
  kCommandSetSchedule = 17,
  kCommandGetTrendData = 18,
};

struct TCommandKind {
  const char* Name;
  int Kind;
  const char* Progress;  // nullptr: recognised, but nothing is queued
};

// The entry whose name equals `command` exactly (case-sensitive), or nullptr.
const TCommandKind* FindCommand(std::string_view command);
// Every command name Execute recognises, in the order of the kinds.
std::span<const TCommandKind> AllCommands();
// The progress text of a kind that is queued, or nullptr (also for the disconnect, kind 2).
const char* ProgressText(int kind);

}  // namespace zb
