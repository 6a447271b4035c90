// Helpers of the robustness tests: a child process's pid and resident memory.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zb::e2e {

// A child of this process whose name (as the kernel keeps it, 15 characters) starts with `name`.
inline int ChildPid(const std::string& name) {
  DIR* d = opendir("/proc");
  if (!d) return -1;
  int found = -1;
  while (dirent* e = readdir(d)) {
    int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 > line.size())
      continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == getpid() && line.compare(open + 1, name.size(), name) == 0) found = pid;
  }
  closedir(d);
  return found;
}

// VmRSS in kB, or -1.
inline long RssKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kb = -1;
      status >> kb;
      return kb;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAsan = true;
#else
inline constexpr bool kAsan = false;
#endif
#else
inline constexpr bool kAsan = false;
#endif

// Under ASan, freed memory parked in the quarantine would read as growth of a child started
// after this call.
inline void SmallAsanQuarantine() {
  if (!kAsan) return;
  std::string opts = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
  if (opts.find("quarantine_size_mb") != std::string::npos) return;
  opts += (opts.empty() ? "" : ":") + std::string("quarantine_size_mb=4");
  setenv("ASAN_OPTIONS", opts.c_str(), 1);
}

}  // namespace zb::e2e
