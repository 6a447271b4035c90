// A pseudo-terminal pair for serial-line tests: the code under test opens the slave by its path
// (through ZELBACNET_COM<N>), the test plays the far end on the master.
#pragma once

#include <string>

namespace zb::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }
  // Points serial port number `port` at the slave (sets ZELBACNET_COM<port>).
  void MapToPort(int port) const;
  // Hangs the line up as seen from the slave.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the master never reads EIO between opens of the slave
  std::string slave_path_;
};

}  // namespace zb::test
