// Kernel termios only: <asm/termbits.h> and the C library's <termios.h> cannot meet.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "TermiosProbe.h"

namespace Quorvel::Testing {

TLineRate ReadLineRate(int Descriptor) {
  termios2 Settings{};
  TLineRate Rate;
  if (::ioctl(Descriptor, TCGETS2, &Settings) != 0) return Rate;
  Rate.Valid = true;
  Rate.Arbitrary = (Settings.c_cflag & CBAUD) == BOTHER;
  Rate.Output = Settings.c_ospeed;
  Rate.Input = Settings.c_ispeed;
  return Rate;
}

}  // namespace Quorvel::Testing
