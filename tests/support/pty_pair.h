// A pseudo-terminal pair for tests of the serial link: the program opens the slave as its
// port, the test plays the module on the master. Reading the line settings on the master
// gives the settings the program applied to the slave (the Linux pty driver forces 8 bits and
// clears PARENB, but keeps PARODD, so odd parity shows as `oddParity`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace movrand::test {

struct LineSettings {
  std::uint32_t outputRate = 0;
  std::uint32_t inputRate = 0;
  bool oddParity = false;
  bool raw = false;            // no canonical mode, echo, signals or output processing
  bool noFlowControl = false;  // neither RTS/CTS nor XON/XOFF
  bool eightBits = false;
};

class PtyPair {
 public:
  PtyPair();  // throws std::runtime_error when no pseudo-terminal can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // The name the program opens: the slave's path without "/dev/" (e.g. "pts/4").
  const std::string& portName() const { return portName_; }
  int master() const { return master_; }
  LineSettings slaveSettings() const;
  // Puts the slave into a terminal's cooked default (line editing, echo, XON/XOFF both
  // ways), as a port looks that another program left so.
  void cookSlave() const;
  void writeAll(const std::vector<std::uint8_t>& bytes) const;
  // Reads what arrives within `waitMs` of silence, up to `limit` bytes.
  std::vector<std::uint8_t> readAvailable(int waitMs = 200, std::size_t limit = 1 << 20) const;
  void closeMaster();

 private:
  int master_ = -1;
  std::string portName_;
};

// Counts of this process's open descriptors and threads, for leak checks.
int openDescriptorCount();
int threadCount();

}  // namespace movrand::test
