#include "driver/registration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "driver/server_driver.h"

namespace zb {

TRegistration DriverRegistration(const std::string& executable, const std::string& socket) {
  TRegistration r;
  r.ProgId = kDriverProgId;
  r.ClassId = kDriverClassId;
  r.LibraryId = kDriverLibraryId;
  r.InterfaceId = kDriverInterfaceId;
  r.Description = kDriverDescription;
  r.Executable = executable;
  r.Socket = socket;
  return r;
}

namespace {
std::string ConfigDir() {
  const char* x = std::getenv("XDG_CONFIG_HOME");
  if (x && *x) return std::string(x) + "/zelbacnet";
  const char* h = std::getenv("HOME");
  return std::string(h && *h ? h : "/tmp") + "/.config/zelbacnet";
}
}  // namespace

std::string RegistrationPath() { return ConfigDir() + "/server.reg"; }

bool WriteRegistration(const TRegistration& reg, std::string& error) {
  std::string dir = ConfigDir();
  // Parent first (~/.config may not exist on a fresh account).
  std::string parent = dir.substr(0, dir.rfind('/'));
  mkdir(parent.c_str(), 0700);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  std::string path = RegistrationPath();
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) {
      error = tmp + ": cannot write";
      return false;
    }
    out << "PROGID=" << reg.ProgId << "\n"
        << "CLSID=" << reg.ClassId << "\n"
        << "LIBID=" << reg.LibraryId << "\n"
        << "IID=" << reg.InterfaceId << "\n"
        << "DESCRIPTION=" << reg.Description << "\n"
        << "EXECUTABLE=" << reg.Executable << "\n"
        << "SOCKET=" << reg.Socket << "\n";
    if (!out) {
      error = tmp + ": write failed";
      return false;
    }
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool RemoveRegistration(std::string& error) {
  std::string path = RegistrationPath();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool ReadRegistration(TRegistration& reg) {
  std::ifstream in(RegistrationPath());
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    if (k == "PROGID")
      reg.ProgId = v;
    else if (k == "CLSID")
      reg.ClassId = v;
    else if (k == "LIBID")
      reg.LibraryId = v;
    else if (k == "IID")
      reg.InterfaceId = v;
    else if (k == "DESCRIPTION")
      reg.Description = v;
    else if (k == "EXECUTABLE")
      reg.Executable = v;
    else if (k == "SOCKET")
      reg.Socket = v;
  }
  return !reg.Executable.empty();
}

}  // namespace zb
