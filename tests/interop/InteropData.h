#pragma once
// What every server in the interoperability tests holds, ours and the peers' alike: four tables of
// TableSize entries from address 0, at server address 1. pymodbus_peer.py repeats these formulas.
// The tables are long enough for the most coils one request may read (2000).
// The patterns do not repeat every 8 or 16 addresses and use both bytes of a register, so that a
// bit packed into the wrong place or a byte swapped shows up as a wrong value.

#include <vector>

#include <Quorvel/Types.h>

namespace QuorvelInterop {

using Quorvel::Byte;
using Quorvel::Word;

inline constexpr int TableSize = 2000;
inline constexpr Byte ServerAddress = 1;
inline constexpr Quorvel::Cardinal BaudRate = 19200;

constexpr bool CoilAt(int Address) { return Address % 3 == 0; }
constexpr bool DiscreteInputAt(int Address) { return Address % 5 == 1 || Address % 5 == 4; }
constexpr Word HoldingRegisterAt(int Address) { return static_cast<Word>(Address * 0x0101 + 0x1234); }
constexpr Word InputRegisterAt(int Address) { return static_cast<Word>(Address * 0x3131 + 0xA5A5); }

template <class F>
auto TableOf(F Formula, int First, int Count) {
  std::vector<decltype(Formula(0))> Values;
  for (int Address = First; Address < First + Count; ++Address) Values.push_back(Formula(Address));
  return Values;
}

}  // namespace QuorvelInterop
