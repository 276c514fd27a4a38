// consumer PORT: writes a display line through the consumer's shared library and checks it.

#include <exception>
#include <iostream>
#include <string>

#include "DisplayWriter.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "Usage: consumer PORT\n";
    return 2;
  }
  const std::string Line = "Consumer OK";
  int Failures = 0;
  const auto Check = [&Failures](bool Good, const std::string& What) {
    std::cout << (Good ? "ok: " : "FAILED: ") << What << '\n';
    if (!Good) ++Failures;
  };

  const std::string Versions = Consumer::Versions();
  Check(Versions == "0.2.0 0.2.0", "headers and library versions are \"" + Versions + "\"");
  // The library's exceptions cross into the program with their type: their type information is
  // exported.
  const std::string Failure = Consumer::OpenFailure("/dev/quorvel-no-such-port");
  Check(Failure == "EQuorvelError: Could not open serial port", "opening a missing port: " + Failure);
  try {
    const std::string ReadBack = Consumer::WriteLineAndReadBack(argv[1], Line);
    Check(ReadBack == Line + std::string(20 - Line.size(), ' '), "the device holds \"" + ReadBack + "\"");
  } catch (const std::exception& Error) {
    Check(false, std::string("writing to the device: ") + Error.what());
  }
  return Failures == 0 ? 0 : 1;
}
