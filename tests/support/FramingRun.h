#pragma once
// The suites that drive the engine run twice: with the silence framing, and again with
// QUORVEL_LENGTH_AWARE set (CTest's "length-aware:" tests), where the connections under test use
// length-aware framing and every behaviour the suites check must hold as well.

#include <cstdlib>

namespace QuorvelTest {

inline bool LengthAwareRun() { return std::getenv("QUORVEL_LENGTH_AWARE") != nullptr; }

}  // namespace QuorvelTest
