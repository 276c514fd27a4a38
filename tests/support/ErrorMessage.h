#pragma once
// The message of the exception an action raises, for tests that compare the library's texts.

#include <exception>
#include <string>

namespace QuorvelTest {

template <class E = std::exception, class F>
std::string MessageOf(F Action) {
  try {
    Action();
  } catch (const E& Error) {
    return Error.what();
  }
  return "no exception";
}

}  // namespace QuorvelTest
