// The utility's start-up: from starting the program to its main window's first painted frame
// (offscreen), and the program's peak memory by then. Each run is a fresh process, so that dynamic
// loading, Qt's start and the fonts count as they do for the operator.
//
//   bench_startup_bench [RUNS]
//
// prints, for a stored port that is missing (both start-up messages, recorded instead of shown) and
// for one that opens (a pseudo-terminal), the median, minimum and maximum over RUNS runs (default 11).

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <Quorvel/Application.h>
#include "DorvaneApplication.h"
#include "MainWindow.h"

extern char** environ;

namespace {

long long MonotonicNanoseconds() {
  timespec Now{};
  ::clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<long long>(Now.tv_sec) * 1'000'000'000 + Now.tv_nsec;
}

// Ends the run once the first frame of the window has been painted and flushed: the zero timer
// fires after the paint pass that delivered the first paint event has finished.
class TFirstFrame : public QObject {
 public:
  explicit TFirstFrame(long long Start) : FStart(Start) {}

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::Paint && !FSeen) {
      FSeen = true;
      QTimer::singleShot(0, [this] {
        const double Milliseconds = static_cast<double>(MonotonicNanoseconds() - FStart) / 1e6;
        rusage Usage{};
        ::getrusage(RUSAGE_SELF, &Usage);
        std::printf("%.3f %ld\n", Milliseconds, Usage.ru_maxrss);
        std::fflush(stdout);
        QCoreApplication::quit();
      });
    }
    return false;
  }

 private:
  long long FStart;
  bool FSeen = false;
};

// One start of the utility, as its entry does it, in this process.
int Child(long long Start, const char* Port) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int Argc = 1;
  char Name[] = "dorvane";
  char* Argv[] = {Name, nullptr};
  TDorvaneApplication App(Argc, Argv);
  TQtMessagePump Pump;
  InstallExceptionDisplay();
  SetMessageBoxHook([](const QString&, const QString&, QMessageBox::Icon) {});
  int Result = 0;
  {
    TForm1 Form{std::string(Port)};
    TFirstFrame Watch(Start);
    Form.installEventFilter(&Watch);
    Form.show();
    Result = App.exec();
  }
  Quorvel::Application::SetExceptionDisplay(nullptr);
  SetMessageBoxHook(nullptr);
  return Result;
}

struct TSample {
  double Milliseconds;
  long MaxRssKb;
};

bool RunOnce(const char* Self, const std::string& Port, TSample& Sample) {
  int Pipe[2];
  if (::pipe(Pipe) != 0) return false;
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
  const long long Start = MonotonicNanoseconds();
  std::string StartText = std::to_string(Start);
  std::vector<char*> Argv = {const_cast<char*>(Self), const_cast<char*>("--child"), StartText.data(),
                             const_cast<char*>(Port.c_str()), nullptr};
  pid_t Pid = -1;
  const int Error = ::posix_spawn(&Pid, Self, &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(Pipe[1]);
  std::string Output;
  char Buffer[256];
  for (ssize_t Count; Error == 0 && (Count = ::read(Pipe[0], Buffer, sizeof Buffer)) > 0;)
    Output.append(Buffer, static_cast<std::size_t>(Count));
  ::close(Pipe[0]);
  int Status = 0;
  if (Error != 0 || ::waitpid(Pid, &Status, 0) != Pid || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0) return false;
  return std::sscanf(Output.c_str(), "%lf %ld", &Sample.Milliseconds, &Sample.MaxRssKb) == 2;
}

template <class T>
T Median(std::vector<T> Values) {
  std::sort(Values.begin(), Values.end());
  return Values[Values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return Child(std::atoll(argv[2]), argv[3]);

  const int Runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
  const int Master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0) {
    std::perror("posix_openpt");
    return 1;
  }
  const std::string Pty = ::ptsname(Master);

  struct TScenario {
    const char* Name;
    std::string Port;
  };
  const TScenario Scenarios[] = {{"port missing (two messages)", "/nonexistent/ttyBench0"}, {"port opens (pty)", Pty}};
  std::printf("%-30s %6s %12s %12s %12s %14s\n", "start to first frame", "runs", "median ms", "min ms", "max ms",
              "peak RSS KiB");
  for (const TScenario& Scenario : Scenarios) {
    std::vector<double> Times;
    std::vector<long> Memory;
    for (int I = 0; I < Runs; ++I) {
      TSample Sample{};
      if (!RunOnce("/proc/self/exe", Scenario.Port, Sample)) {
        std::fprintf(stderr, "run %d of '%s' failed\n", I, Scenario.Name);
        return 1;
      }
      Times.push_back(Sample.Milliseconds);
      Memory.push_back(Sample.MaxRssKb);
    }
    std::printf("%-30s %6d %12.1f %12.1f %12.1f %14ld\n", Scenario.Name, Runs, Median(Times),
                *std::min_element(Times.begin(), Times.end()), *std::max_element(Times.begin(), Times.end()),
                Median(Memory));
  }
  ::close(Master);
  return 0;
}
