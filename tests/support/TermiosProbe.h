#pragma once
// Reads a terminal's line rate through the kernel's termios2, independently of the library.

#include <Quorvel/Types.h>

namespace Quorvel::Testing {

struct TLineRate {
  bool Valid = false;
  bool Arbitrary = false;  // the rate is given in numbers (BOTHER), not by a termios constant
  Cardinal Output = 0;
  Cardinal Input = 0;
};

TLineRate ReadLineRate(int Descriptor);

}  // namespace Quorvel::Testing
