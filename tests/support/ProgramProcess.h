#pragma once
// A program run by a test, as a user runs it: its standard output read as it comes, its exit
// status waited for.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace Quorvel::Testing {

// A program with its standard output read as it comes, killed if it still runs at the end. Its
// output goes to a pipe, or with OnATerminal to a pseudo-terminal, as when a user runs it.
class TProgramProcess {
 public:
  explicit TProgramProcess(std::vector<std::string> Args, bool OnATerminal = false) {
    int Pipe[2];
    if (OnATerminal) {
      OpenTerminal(Pipe);
    } else if (::pipe2(Pipe, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
    std::vector<char*> Argv;
    for (auto& Arg : Args) Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    const int Error = ::posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    FOutput = Pipe[0];
    if (Error != 0) throw std::system_error(Error, std::generic_category(), "posix_spawn");
  }
  ~TProgramProcess() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FOutput);
  }

  // Reads until Text has appeared in the output, or the time is up, or the output ends.
  bool WaitForOutput(const std::string& Text, std::chrono::milliseconds Timeout) {
    const auto Until = std::chrono::steady_clock::now() + Timeout;
    while (Output.find(Text) == std::string::npos) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - std::chrono::steady_clock::now());
      pollfd Fd{FOutput, POLLIN, 0};
      if (Left.count() <= 0 || ::poll(&Fd, 1, static_cast<int>(Left.count())) <= 0) return false;
      char Buffer[1024];
      const ssize_t Count = ::read(FOutput, Buffer, sizeof Buffer);
      if (Count <= 0) return false;
      Output.append(Buffer, static_cast<std::size_t>(Count));
    }
    return true;
  }

  // Signal for the program, which goes on running (SIGUSR1 for a report, say).
  void Send(int Signal) { ::kill(FPid, Signal); }

  // The exit status after Signal, or -1 when it did not exit by itself within Timeout.
  int Stop(int Signal, std::chrono::milliseconds Timeout) {
    ::kill(FPid, Signal);
    return WaitForExit(Timeout);
  }

  // The exit status once it ends by itself, with the rest of its output read; -1 when it still
  // runs after Timeout.
  int WaitForExit(std::chrono::milliseconds Timeout) {
    const auto Until = std::chrono::steady_clock::now() + Timeout;
    int Status = 0;
    while (::waitpid(FPid, &Status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > Until) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FPid = -1;
    WaitForOutput(std::string(1, '\0'), std::chrono::milliseconds(1000));  // to its end
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  }

  std::string Output;

 private:
  // Ends[0] the master, read here; Ends[1] the terminal that the program writes to.
  static void OpenTerminal(int (&Ends)[2]) {
    Ends[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char Name[128];
    if (Ends[0] < 0 || ::grantpt(Ends[0]) != 0 || ::unlockpt(Ends[0]) != 0 || ::ptsname_r(Ends[0], Name, sizeof Name) != 0 ||
        (Ends[1] = ::open(Name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0)
      throw std::system_error(errno, std::generic_category(), "pseudo-terminal");
  }

  pid_t FPid = -1;
  int FOutput = -1;
};

}  // namespace Quorvel::Testing
