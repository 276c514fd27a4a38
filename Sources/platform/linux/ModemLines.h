#pragma once
// The modem-control lines of a terminal as its driver offers them (TIOCMGET, TIOCMBIS, TIOCMBIC).
// Every modem-line request of the POSIX layer goes through the access installed here, so that tests
// can play a driver that has the lines: pseudo-terminals, on which the tests run, have none.

#include <Quorvel/Types.h>

namespace Quorvel::Platform::Posix {

class TModemLineAccess {
 public:
  virtual ~TModemLineAccess() = default;
  // The lines' states as TIOCM_* bits; false where the driver keeps none (a pseudo-terminal).
  virtual bool Get(int Fd, int& Lines) noexcept = 0;
  // Raises (On) or lowers one output line (TIOCM_DTR, TIOCM_RTS); false where the driver refuses.
  virtual bool Set(int Fd, int Line, bool On) noexcept = 0;
};

// The installed access, or the driver's own.
TModemLineAccess& ModemLines() noexcept;

// Installs Access for the whole process, for tests; nullptr brings back the driver's own. Access
// must outlive its installation, and its calls may come from any thread.
void InstallModemLineAccess(TModemLineAccess* Access) noexcept;

}  // namespace Quorvel::Platform::Posix
