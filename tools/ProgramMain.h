#pragma once
// The console programs' entry: the command line read, --version and --help answered, then the
// program run. It returns 2 for a command line it cannot use and 1 for a failure, which is shown
// as the library shows every failure.

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <Quorvel/Application.h>
#include <Quorvel/Version.h>
#include "CommandLine.h"

namespace Dorvane {

template <class TOptions>
struct TProgram {
  const char* Name;  // for --version, and for the usage when the system gives no name
  TOptions (*Parse)(const std::vector<std::string>& Args);
  std::string (*Usage)(const std::string& Program);
  int (*Run)(const TOptions& Options);
};

template <class TOptions>
int RunProgram(const TProgram<TOptions>& Program, int argc, char** argv) {
  const std::string Invoked = argc > 0 ? argv[0] : Program.Name;
  TOptions Options;
  try {
    Options = Program.Parse(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const EUsageError& Error) {
    std::cerr << Invoked << ": " << Error.what() << "\n\n" << Program.Usage(Invoked);
    return 2;
  }
  if (Options.Version) {
    std::cout << Program.Name << " " << QUORVEL_VERSION_STRING << " (Quorvel library " << Quorvel::VersionString()
              << ")\n";
    return 0;
  }
  if (Options.Help) {
    std::cout << Program.Usage(Invoked);
    return 0;
  }
  try {
    return Program.Run(Options);
  } catch (...) {
    Quorvel::Application::HandleException(std::current_exception());
    return 1;
  }
}

}  // namespace Dorvane
