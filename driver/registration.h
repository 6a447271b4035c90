// The registration record of the driver server: the identifiers the host asks for, the
// executable that serves them and its socket, so a host can start the server on demand.
// One small text file of NAME=value lines.
#pragma once

#include <string>

namespace zb {

struct TRegistration {
  std::string ProgId;
  std::string ClassId;
  std::string LibraryId;
  std::string InterfaceId;
  std::string Description;
  std::string Executable;
  std::string Socket;
};

// The driver's own identifiers with the given executable and socket.
TRegistration DriverRegistration(const std::string& executable, const std::string& socket);
// $XDG_CONFIG_HOME/zelbacnet/server.reg, else $HOME/.config/zelbacnet/server.reg.
std::string RegistrationPath();
bool WriteRegistration(const TRegistration& reg, std::string& error);
// Removing a record that does not exist succeeds.
bool RemoveRegistration(std::string& error);
bool ReadRegistration(TRegistration& reg);

}  // namespace zb
